#include "formats/target_format.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "config/config.h"
#include "config/format_spec.h"
#include "index/archive_db.h"
#include "platform/bindings.h"
#include "platform/dir_walk.h"
#include "platform/interrupt.h"
#include "platform/logging.h"
#include "platform/subprocess.h"
#include "platform/text_format.h"
#include "platform/unicode.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

constexpr uint32_t kArchiveProgressInterval = 1'000;
constexpr uint32_t kVerifyProgressInterval = 10'000;
constexpr uint32_t kListingProgressRows = 10'000;
// Error output kept for the run log per step; a program may write without end.
constexpr size_t kErrorTextLimit = 1 << 20;
// The run directory's list of the files that ended the run failed.
constexpr std::string_view kFailedFilesName = "failedfiles.txt";
constexpr std::string_view kLineBreaks = "\r\n";
// List-file lines are written in blocks of about this size.
constexpr size_t kListfileBlockBytes = 64 * 1024;
// Lines per program run that name a directory the index does not know and are logged one by
// one; a program may print such lines without end, and the run log must not fill the disk.
constexpr uint64_t kUnknownDirectoryLogLimit = 100;
// While a program runs, its progress goes to the run log at most this often.
using Clock = std::chrono::steady_clock;
constexpr auto kStepReportInterval = std::chrono::seconds(10);

uint64_t whole_seconds(Clock::duration duration) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

bool holds_line_break(std::string_view text) {
    return text.find_first_of(kLineBreaks) != std::string_view::npos;
}

// Finds the first CR or LF at or after `from`.
size_t find_line_break(std::string_view data, size_t from) {
    for (size_t i = from; i < data.size(); ++i) {
        if (data[i] == '\r' || data[i] == '\n') {
            return i;
        }
    }
    return std::string_view::npos;
}

size_t skip_line_breaks(std::string_view data, size_t from) {
    while (from < data.size() && (data[from] == '\r' || data[from] == '\n')) {
        ++from;
    }
    return from;
}

} // namespace

const char* unlistable_reason(std::string_view dir, std::string_view name) {
    if (holds_line_break(dir) || holds_line_break(name)) {
        return "holds a line break";
    }
    if (!is_valid_utf8(dir) || !is_valid_utf8(name)) {
        return "is not valid UTF-8";
    }
    return nullptr;
}

void append_bounded(std::string& text, std::string_view data, uint64_t& dropped) {
    const size_t room = kErrorTextLimit - std::min(kErrorTextLimit, text.size());
    const size_t taken = std::min(room, data.size());
    text.append(data.substr(0, taken));
    dropped += data.size() - taken;
}

std::unique_ptr<Regex_replace> make_variable_replacer() {
    const auto variable_regex = std::make_shared<Regex>("(%[^%]*%)", UTF8 | DOTALL);
    return std::make_unique<Regex_replace>(variable_regex->replacer("$1$", '$'));
}

std::optional<std::string> format_variable_value(std::string_view name,
                                                 const FormatVariableValues& values) {
    if (name.empty()) {
        return "%";
    }
    if (name == "dstdir") {
        return std::string(values.dstdir);
    }
    if (name == "srcdir") {
        return std::string(values.srcdir);
    }
    if (name == "archive") {
        return std::string(values.archive);
    }
    if (name == "listfile" || name == "listfile16") {
        return std::string(values.listfile);
    }
    return std::nullopt;
}

// ---- DbFileEntry ----

void DbFileEntry::fill(std::string_view dir, std::string_view name, uint32_t attributes,
                       int64_t size, int64_t modified_time, int64_t reference_time) {
    name_.assign(name);
    parent_.assign(dir);
    is_dir_ = (attributes & kIndexDirectoryBit) != 0;
    age_ = reference_time - modified_time;
    size_ = size;
    path_valid_ = false;
}

std::string_view DbFileEntry::path() const {
    if (!path_valid_) {
        path_.assign(parent_);
        if (!parent_.empty()) {
            path_ += '/';
        }
        path_ += name_;
        path_valid_ = true;
    }
    return path_;
}

// ---- TextOutputToLinesHandler ----

TextOutputToLinesHandler::TextOutputToLinesHandler(LineCallback on_line, size_t line_limit)
    : on_line_(std::move(on_line)), line_limit_(line_limit) {}

void TextOutputToLinesHandler::set_line_handler(LineCallback on_line) {
    on_line_ = std::move(on_line);
}

void TextOutputToLinesHandler::feed(std::string_view data) {
    size_t line_break = find_line_break(data, 0);
    if (line_break == std::string_view::npos) {
        append_pending(data);
        return;
    }
    end_line(data.substr(0, line_break));
    for (size_t start = skip_line_breaks(data, line_break + 1); start < data.size();
         start = skip_line_breaks(data, line_break + 1)) {
        line_break = find_line_break(data, start);
        if (line_break == std::string_view::npos) {
            append_pending(data.substr(start));
            return;
        }
        emit(data.substr(start, line_break - start));
    }
}

void TextOutputToLinesHandler::flush() {
    if (pending_overflow_) {
        ++dropped_lines_;
        pending_overflow_ = false;
        return;
    }
    if (!pending_.empty()) {
        const std::string line = std::move(pending_);
        pending_.clear();
        emit(line);
    }
}

void TextOutputToLinesHandler::append_pending(std::string_view data) {
    if (pending_overflow_) {
        dropped_bytes_ += data.size();
        return;
    }
    if (pending_.size() + data.size() > line_limit_) {
        dropped_bytes_ += pending_.size() + data.size();
        std::string().swap(pending_);
        pending_overflow_ = true;
        return;
    }
    pending_.append(data);
}

// The line break after `tail` arrived: the pending text and `tail` form one line.
void TextOutputToLinesHandler::end_line(std::string_view tail) {
    if (pending_overflow_) {
        dropped_bytes_ += tail.size();
        ++dropped_lines_;
        pending_overflow_ = false;
        return;
    }
    if (pending_.empty()) {
        emit(tail);
        return;
    }
    append_pending(tail);
    if (pending_overflow_) {
        ++dropped_lines_;
        pending_overflow_ = false;
        return;
    }
    const std::string line = std::move(pending_);
    pending_.clear();
    emit(line);
}

void TextOutputToLinesHandler::emit(std::string_view line) {
    if (line.size() > line_limit_) {
        dropped_bytes_ += line.size();
        ++dropped_lines_;
        return;
    }
    if (on_line_) {
        on_line_(line);
    }
}

// ---- TargetFormatHandler ----

TargetFormatHandler::TargetFormatHandler(const RunContext& context,
                                         const FormatSpecification& format_spec)
    : context_(context), format_spec_(format_spec), output_lines_([](std::string_view) {}),
      archive_path_(format("%s/data.%s", context.run_subdir, format_spec.name)),
      listfile_path_(format("%s/listfile.%s.lst", context.run_subdir, format_spec.name)),
      variable_replacer_(make_variable_replacer()) {}

TargetFormatHandler::~TargetFormatHandler() = default;

std::string TargetFormatHandler::resolve_variable(uint32_t /*group*/, std::string_view text,
                                                  bool matched) {
    if (!matched) {
        return {};
    }
    const FormatVariableValues values{context_.run_subdir, context_.source_path, archive_path_,
                                      listfile_path_};
    if (auto value = format_variable_value(text.substr(1, text.size() - 2), values)) {
        return *value;
    }
    context_.run_log.log("The variable '%s' does not exists:", text);
    throw std::runtime_error("The variable '" + std::string(text) + "' does not exists");
}

std::string TargetFormatHandler::expand_variables(std::string_view text) {
    const ReplaceCallback callback = [this](uint32_t group, std::string_view value, bool matched) {
        return resolve_variable(group, value, matched);
    };
    return variable_replacer_->replace_all(text, callback, 0, 0);
}

void TargetFormatHandler::ensure_format_id() {
    if (format_id_ == 0) {
        format_id_ = context_.db->add_archive(context_.run_id, format_spec_.name);
    }
}

void TargetFormatHandler::open_listfile() {
    const VfsPath path(true, listfile_path_);
    list_file_ = VfsFile::CreatePrivate(path);
    line_buffer_.clear();
    context_.run_log.log("Opened listfile '%s' for writing.", listfile_path_);
}

void TargetFormatHandler::close_listfile() {
    if (!list_file_) {
        return;
    }
    flush_listfile();
    list_file_->Flush();
    list_file_->Close();
    list_file_.reset();
    context_.run_log.log("Closed listfile '%s' with %s entries.", listfile_path_, entry_count_);
}

bool TargetFormatHandler::add_entry(std::string_view dir, std::string_view name) {
    if (const char* problem = unlistable_reason(dir, name)) {
        ++unlistable_count_;
        const std::string path = dir.empty() ? std::string(name) : format("%s/%s", dir, name);
        context_.run_log.log("Left out of listfile '%s' because its name %s: '%s'.", listfile_path_,
                             problem, escape_for_log(path));
        return false;
    }
    if (!list_file_) {
        throw std::runtime_error(format("The listfile '%s' is not open.", listfile_path_));
    }
    // Whole lines are collected and written in blocks: a line reaches the file whole or not at
    // all, with one system call per block instead of one per line.
    if (!dir.empty()) {
        line_buffer_.append(dir);
        line_buffer_ += '/';
    }
    line_buffer_.append(name);
    line_buffer_.append(kLineBreaks);
    ++entry_count_;
    if (line_buffer_.size() >= kListfileBlockBytes) {
        flush_listfile();
    }
    return true;
}

void TargetFormatHandler::flush_listfile() {
    if (!line_buffer_.empty()) {
        list_file_->Write(line_buffer_);
        line_buffer_.clear();
    }
}

void TargetFormatHandler::use_file_pattern(std::string_view pattern, uint32_t path_group,
                                           uint32_t checksum_group) {
    file_pattern_text_ = expand_variables(pattern);
    file_regex_ = std::make_unique<Regex>(file_pattern_text_, UTF8 | DOTALL);
    byte_regex_.reset();
    byte_regex_failed_ = false;
    for (const uint32_t group : {path_group, checksum_group}) {
        if (group >= file_regex_->group_count()) {
            throw std::runtime_error(
                format("The filepattern '%s' has no capture group %s.", file_pattern_text_, group));
        }
    }
    path_group_ = path_group;
    checksum_group_ = checksum_group;
    ovector_.assign(static_cast<size_t>(file_regex_->group_count()) * 3, -1);
    output_lines_.set_line_handler([this](std::string_view line) { on_file_line(line); });
}

void TargetFormatHandler::ignore_output_lines() {
    output_lines_.set_line_handler([](std::string_view) {});
}

std::string TargetFormatHandler::command_line(const FormatSpecificationMethod& method) {
    return format("\"%s\" %s", method.executable.value_or(""),
                  expand_variables(method.arguments.value_or("")));
}

void TargetFormatHandler::archive_step() {
    if (context_.config.dry_run) {
        context_.run_log.log("Skipping archiving step.");
        return;
    }
    const FormatSpecificationArchive& method = *format_spec_.archive;
    const bool has_pattern = method.filepattern.has_value();
    if (has_pattern) {
        use_file_pattern(*method.filepattern, method.path_group, method.checksum_group);
    } else {
        ignore_output_lines();
    }
    const std::string command = command_line(method);
    context_.run_log.log("Executing '%s' archiving: '%s'.", format_spec_.name, command);
    run_program(command, method, "archiving", has_pattern, context_.config.verbose_archiving,
                kArchiveProgressInterval);
    context_.run_log.log("Archiving for '%s' completed.", format_spec_.name);
}

void TargetFormatHandler::verify_step() {
    if (context_.config.dry_run) {
        context_.run_log.log("Skipping verification step.");
        return;
    }
    const FormatSpecificationVerify* verifier = format_spec_.verify.get();
    const bool has_verifier = verifier != nullptr && verifier->filepattern.has_value();
    if (has_verifier) {
        use_file_pattern(*verifier->filepattern, verifier->path_group, verifier->checksum_group);
        const std::string command = command_line(*verifier);
        context_.run_log.log("Executing '%s' verification: '%s'.", format_spec_.name, command);
        run_program(command, *verifier, "verification", true, context_.config.verbose_verification,
                    kVerifyProgressInterval);
    } else {
        ignore_output_lines();
    }
    context_.run_log.log("Verified %s out of %s files.", matched_count_, entry_count_);
    context_.run_log.log("Verification for '%s' completed.", format_spec_.name);
}

void TargetFormatHandler::final_step() {}

void TargetFormatHandler::run_steps() {
    archive_step();
    context_.db->commit_confirmations();
    verify_step();
    context_.db->commit_confirmations();
    final_step();
}

// Runs the method's program until it ended and its output is drained. The last partial line is
// handed on only after the drain, since the final reads may still continue that line. Why a file
// failed must be findable in the run log whatever the switches say, so the program's error
// output (bounded) and its exit code are always logged; the verbose switch adds standard output.
void TargetFormatHandler::run_program(const std::string& command,
                                      const FormatSpecificationMethod& method,
                                      std::string_view step, bool parse_output, bool verbose,
                                      uint32_t progress_interval) {
    const std::string workdir = expand_variables(method.workdir.value_or(""));
    const uint64_t lines_before = output_lines_.dropped_lines();
    const uint64_t bytes_before = output_lines_.dropped_bytes();
    std::string error_text;
    uint64_t error_bytes_dropped = 0;
    uint32_t calls = 0;
    unknown_directory_lines_ = 0;
    const auto start = Clock::now();
    auto next_report = start + kStepReportInterval;
    const ProcessCallback callback = [&](const std::function<uint32_t(std::string_view)>&,
                                         std::string_view output, std::string_view error,
                                         bool /*running*/) -> int32_t {
        if (verbose && !output.empty()) {
            context_.run_log.log("%s", output);
        }
        if (!error.empty()) {
            append_bounded(error_text, error, error_bytes_dropped);
        }
        if (parse_output) {
            if (!output.empty()) {
                output_lines_.feed(output);
            }
            if (calls == progress_interval) {
                context_.run_log.log("Verified %s out of %s files.", matched_count_, entry_count_);
                calls = 0;
            }
            ++calls;
        }
        if (const auto now = Clock::now(); now >= next_report) {
            next_report = now + kStepReportInterval;
            context_.run_log.log("'%s' %s running for %s s: %s of %s files confirmed so far.",
                                 format_spec_.name, step, whole_seconds(now - start),
                                 matched_count_, entry_count_);
        }
        return 0;
    };
    const auto process = run_with_io("", command, workdir, {}, callback, kProgramPipeBufferSize,
                                     kProgramPollIntervalMs);
    if (parse_output) {
        output_lines_.flush();
    }
    if (error_bytes_dropped > 0) {
        error_text.append(
            format("\n(%s further bytes of error output left out)", error_bytes_dropped));
    }
    context_.run_log.log("Error output:\n%s", error_text);
    context_.run_log.log("The %s program of '%s' exited with code %s.", step, format_spec_.name,
                         process->exit_code());
    context_.summary.steps.push_back(
        {format("'%s' %s", format_spec_.name, step), seconds_since(start)});
    log_dropped_lines(lines_before, bytes_before);
    if (unknown_directory_lines_ > kUnknownDirectoryLogLimit) {
        context_.run_log.log("Left out %s further output lines naming a directory that the file "
                             "index does not know.",
                             unknown_directory_lines_ - kUnknownDirectoryLogLimit);
    }
}

std::vector<std::string> TargetFormatHandler::problems() {
    std::vector<std::string> found;
    check_method(*format_spec_.archive, "archive", found);
    if (format_spec_.verify) {
        check_method(*format_spec_.verify, "verify", found);
    }
    return found;
}

void TargetFormatHandler::check_method(const FormatSpecificationOutputMethod& method,
                                       std::string_view role, std::vector<std::string>& found) {
    const auto problem = [&](const std::string& text) {
        found.push_back(format("Format '%s', %s method: %s", format_spec_.name, role, text));
    };
    try {
        if (find_program(command_line(method)).empty()) {
            problem(format("the program '%s' cannot be found or is not executable.",
                           method.executable.value_or("")));
        }
        const std::string workdir = expand_variables(method.workdir.value_or(""));
        if (!workdir.empty() && !VfsPath(false, workdir).is_directory()) {
            problem(format("the working directory '%s' does not exist.", workdir));
        }
        if (method.filepattern) {
            use_file_pattern(*method.filepattern, method.path_group, method.checksum_group);
        }
    } catch (const std::exception& error) {
        problem(error.what());
    }
}

void TargetFormatHandler::log_dropped_lines(uint64_t lines_before, uint64_t bytes_before) {
    const uint64_t lines = output_lines_.dropped_lines() - lines_before;
    if (lines > 0) {
        context_.run_log.log("Dropped %s output lines longer than %s bytes (%s bytes).", lines,
                             output_lines_.line_limit(),
                             output_lines_.dropped_bytes() - bytes_before);
    }
}

const Regex* TargetFormatHandler::byte_regex() {
    if (!byte_regex_ && !byte_regex_failed_) {
        try {
            byte_regex_ = std::make_unique<Regex>(file_pattern_text_, DOTALL);
        } catch (const Regex_exception& error) {
            byte_regex_failed_ = true;
            context_.run_log.log("Output lines that are not UTF-8 cannot be matched: %s",
                                 error.what());
        }
    }
    return byte_regex_.get();
}

bool TargetFormatHandler::match_line(std::string_view line, std::string_view& path,
                                     std::string_view& checksum) {
    const bool valid = is_valid_utf8(line);
    const Regex* regex = valid ? file_regex_.get() : byte_regex();
    if (regex == nullptr) {
        return false;
    }
    int result = 0;
    try {
        result = regex->exec(line, 0, valid ? NO_UTF8_CHECK : 0, ovector_.data());
    } catch (const Regex_exception& error) {
        context_.run_log.log("Output line '%s' not matched: %s", escape_for_log(line),
                             error.what());
        return false;
    }
    if (result < 0) {
        return false;
    }
    const auto group_text = [&](uint32_t group) -> std::string_view {
        const int start = ovector_[2 * group];
        if (static_cast<int>(group) >= result || start < 0) {
            return {};
        }
        return line.substr(start, ovector_[2 * group + 1] - start);
    };
    path = group_text(path_group_);
    checksum = checksum_group_ != 0 ? group_text(checksum_group_) : std::string_view{};
    return true;
}

void TargetFormatHandler::on_file_line(std::string_view line) {
    std::string_view path;
    std::string_view checksum;
    if (!match_line(line, path, checksum)) {
        return;
    }
    ++matched_count_;
    confirm_path(path, checksum);
}

// Confirms the file the path names. A backslash is an ordinary byte of a name here, so the path
// is first taken as it stands; only when that names no known file are backslashes read as
// separators. A directory the index does not know goes to the run log, not to the caller.
void TargetFormatHandler::confirm_path(std::string_view path, std::string_view checksum) {
    std::string literal_error;
    const Confirmation literal = try_confirm(path, checksum, literal_error);
    if (literal == Confirmation::Confirmed) {
        return;
    }
    if (path.find('\\') != std::string_view::npos) {
        path_buffer_.assign(path);
        std::replace(path_buffer_.begin(), path_buffer_.end(), '\\', '/');
        std::string converted_error;
        const Confirmation converted = try_confirm(path_buffer_, checksum, converted_error);
        if (converted == Confirmation::UnknownDirectory) {
            log_unknown_directory(converted_error);
            return;
        }
        if (converted == Confirmation::Confirmed) {
            return;
        }
    }
    if (literal == Confirmation::UnknownDirectory) {
        log_unknown_directory(literal_error);
    }
}

void TargetFormatHandler::log_unknown_directory(const std::string& error_message) {
    if (++unknown_directory_lines_ <= kUnknownDirectoryLogLimit) {
        context_.run_log.log("%s", error_message);
    }
}

TargetFormatHandler::Confirmation TargetFormatHandler::try_confirm(std::string_view path,
                                                                   std::string_view checksum,
                                                                   std::string& error_message) {
    const size_t separator = path.rfind('/');
    const std::string_view dir =
        separator == std::string_view::npos ? std::string_view{} : path.substr(0, separator);
    const std::string_view name =
        separator == std::string_view::npos ? path : path.substr(separator + 1);
    try {
        return context_.db->confirm_archived(dir, name, checksum, format_id_)
                   ? Confirmation::Confirmed
                   : Confirmation::NotFound;
    } catch (const UnknownDirectory& error) {
        error_message = error.what();
        return Confirmation::UnknownDirectory;
    }
}

// ---- archive_formats ----

namespace {

using HandlerList = std::vector<std::unique_ptr<TargetFormatHandler>>;

// Counts rows for the progress lines and file rows for the totals of a listing.
class ListingCounter {
public:
    explicit ListingCounter(const Logger& log) : log_(log) {}

    void count(uint32_t attributes) {
        if (++progress_ == kListingProgressRows) {
            log_.log("Listfile progress: %s entries written.", files_);
            progress_ = 0;
        }
        if ((attributes & kIndexDirectoryBit) == 0) {
            ++files_;
        }
    }
    uint64_t files() const { return files_; }

private:
    const Logger& log_;
    uint64_t files_ = 0;
    uint32_t progress_ = 0;
};

HandlerList open_handlers(const RunContext& context) {
    HandlerList handlers;
    for (const auto& spec : context.config.format_specifications) {
        if (spec->name == kRetryFormatName) {
            continue;
        }
        auto handler = std::make_unique<TargetFormatHandler>(context, *spec);
        handler->open_listfile();
        handler->ensure_format_id();
        handlers.push_back(std::move(handler));
    }
    return handlers;
}

TargetFormatHandler* handler_for(const HandlerList& handlers, const FormatSpecification* spec) {
    for (const auto& handler : handlers) {
        if (&handler->format_spec() == spec) {
            return handler.get();
        }
    }
    return nullptr;
}

void write_listfiles(const RunContext& context, const HandlerList& handlers) {
    ListingCounter counter(context.run_log);
    DbFileEntry entry;
    const int64_t reference_time = filetime_to_unix(context.run_start_time);
    const FormatSelector* selector = context.config.select_format.get();
    context.db->list_objects([&](std::string_view dir, std::string_view name, uint32_t attributes,
                                 int64_t size, int64_t modified_time) {
        counter.count(attributes);
        throw_if_interrupted();
        entry.fill(dir, name, attributes, size, modified_time, reference_time);
        const FormatSpecification* chosen = selector ? selector->choose(entry) : nullptr;
        TargetFormatHandler* handler = handler_for(handlers, chosen);
        if (handler != nullptr && handler->add_entry(dir, name)) {
            if ((attributes & kIndexDirectoryBit) == 0) {
                ++context.summary.listed_files;
                context.summary.listed_bytes += static_cast<uint64_t>(std::max<int64_t>(size, 0));
            }
        }
    });
    context.run_log.log("Completed listfiles, with a total of %s entries.", counter.files());
}

void write_retry_listfile(const RunContext& context, TargetFormatHandler& handler) {
    ListingCounter counter(context.run_log);
    context.db->list_objects(
        [&](std::string_view dir, std::string_view name, uint32_t attributes, int64_t, int64_t) {
            counter.count(attributes);
            handler.add_entry(dir, name);
        });
    context.run_log.log("Completed retry-listfile, with a total of %s entries.", counter.files());
}

const FormatSpecification* find_retry_format(const Config& config) {
    for (const auto& spec : config.format_specifications) {
        if (spec->name == kRetryFormatName) {
            return spec.get();
        }
    }
    return nullptr;
}

// After the failures are marked (and retried), the listing delivers exactly the files still
// marked failed. Outside a dry run their paths go to a file in the run directory, one per line
// (escaped where a name is not printable UTF-8), so that a user can find out which files failed.
int64_t record_failed_files(const RunContext& context) {
    std::unique_ptr<VfsFile> file;
    if (!context.config.dry_run) {
        context.summary.failed_files_path =
            context.run_subdir + "/" + std::string(kFailedFilesName);
        file = VfsFile::CreatePrivate(VfsPath(true, context.summary.failed_files_path));
    }
    std::string lines;
    int64_t files = 0;
    context.db->list_objects([&](std::string_view dir, std::string_view name, uint32_t attributes,
                                 int64_t, int64_t) {
        if ((attributes & kIndexDirectoryBit) != 0) {
            return;
        }
        ++files;
        if (file) {
            lines += escape_for_log(dir.empty() ? std::string(name) : format("%s/%s", dir, name));
            lines += kLineBreaks;
            if (lines.size() >= kListfileBlockBytes) {
                file->Write(lines);
                lines.clear();
            }
        }
    });
    if (file) {
        file->Write(lines);
        file->Close();
    }
    return files;
}

void retry_failed(const RunContext& context, const FormatSpecification& retry_spec,
                  int64_t failed) {
    context.run_log.log("Retrying the %s failed entries.", failed);
    TargetFormatHandler handler(context, retry_spec);
    handler.open_listfile();
    handler.ensure_format_id();
    try {
        write_retry_listfile(context, handler);
    } catch (...) {
        try {
            handler.close_listfile();
        } catch (...) {
            // The listing's own failure is the one to report.
        }
        throw;
    }
    handler.close_listfile();
    handler.run_steps();
}

} // namespace

void check_formats(const RunContext& context) {
    std::vector<std::string> found;
    for (const auto& spec : context.config.format_specifications) {
        for (std::string& problem : TargetFormatHandler(context, *spec).problems()) {
            context.run_log.log("%s", problem);
            found.push_back(std::move(problem));
        }
    }
    if (found.size() == 1) {
        throw std::runtime_error(found.front());
    }
    if (!found.empty()) {
        throw std::runtime_error(format("%s (and %s more problems of the job's formats; the run "
                                        "log lists them all)",
                                        found.front(), found.size() - 1));
    }
}

void archive_formats(const RunContext& context) {
    const auto listing_start = Clock::now();
    const HandlerList handlers = open_handlers(context);
    write_listfiles(context, handlers);
    for (const auto& handler : handlers) {
        handler->close_listfile();
    }
    for (const auto& handler : handlers) {
        context.summary.unlistable_count += handler->unlistable_count();
    }
    context.summary.listing_seconds = seconds_since(listing_start);
    for (const auto& handler : handlers) {
        throw_if_interrupted();
        handler->run_steps();
    }
    const int64_t failed = context.db->mark_failed();
    context.run_log.log("Marked %s items as failed backup.", failed);
    if (failed <= 0) {
        return;
    }
    if (const FormatSpecification* retry_spec = find_retry_format(context.config)) {
        throw_if_interrupted();
        retry_failed(context, *retry_spec, failed);
    }
    context.summary.unconfirmed_count = record_failed_files(context);
}

} // namespace vesk
