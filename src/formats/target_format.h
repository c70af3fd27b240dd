#pragma once
// The archiving phase: one list file per format, variables in command texts, the archiver and
// verifier runs whose output lines confirm stored files in the index, and the retry pass.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/libpcre.h"
#include "config/file_entry.h"
#include "formats/run_context.h"

namespace vesk {

class FormatSpecification;
class FormatSpecificationMethod;
class FormatSpecificationOutputMethod;
class VfsFile;

// Why a path cannot be one line of a list file, or null when it can: a list file is UTF-8 text
// with one path per line, and one bad line can make an archiver reject the whole file.
const char* unlistable_reason(std::string_view dir, std::string_view name);

// Appends a program's error output to `text` up to a fixed limit (a program may write without
// end); counts the bytes left out in `dropped`.
void append_bounded(std::string& text, std::string_view data, uint64_t& dropped);

// The replacer that finds the variables ("%name%") of a format's command texts.
std::unique_ptr<Regex_replace> make_variable_replacer();

// The pipe buffer and the poll interval of a format's program runs.
inline constexpr uint32_t kProgramPipeBufferSize = 1'048'576;
inline constexpr uint32_t kProgramPollIntervalMs = 20;

// The values of the variables of a format's command texts.
struct FormatVariableValues {
    std::string_view dstdir;
    std::string_view srcdir;
    std::string_view archive;
    std::string_view listfile; // also %listfile16%
};

// The value of the variable named between two percent signs ("" for "%%" gives "%"); nothing
// for an unknown name.
std::optional<std::string> format_variable_value(std::string_view name,
                                                 const FormatVariableValues& values);

// One index row as the format selection sees it. The age is the run's start time (in Unix
// seconds) minus the row's modification time, the same reference the scanner uses, so that
// older/younger conditions of the format selection agree with those of the file selection.
class DbFileEntry : public IFileEntry {
public:
    void fill(std::string_view dir, std::string_view name, uint32_t attributes, int64_t size,
              int64_t modified_time, int64_t reference_time);

    std::string_view name() const override { return name_; }
    std::string_view path() const override;
    std::string_view parent() const override { return parent_; }
    bool is_directory() const override { return is_dir_; }
    int64_t age() const override { return age_; }
    uint64_t size() const override { return static_cast<uint64_t>(size_); }

private:
    std::string name_;
    std::string parent_;
    bool is_dir_ = false;
    int64_t age_ = 0;
    int64_t size_ = 0;
    mutable std::string path_;
    mutable bool path_valid_ = false;
};

// Cuts a program's output, arriving in chunks, into lines at single CR and LF bytes. Runs of
// line breaks inside a chunk yield no empty lines; a chunk that begins with a line break ends
// the pending text there (so a CR LF pair split between two chunks yields one empty line).
// A line longer than the limit is dropped whole and counted, so a program that never ends its
// line cannot make the pending text grow without bound.
class TextOutputToLinesHandler {
public:
    using LineCallback = std::function<void(std::string_view)>;
    static constexpr size_t kDefaultLineLimit = 1 << 20;

    explicit TextOutputToLinesHandler(LineCallback on_line, size_t line_limit = kDefaultLineLimit);
    virtual ~TextOutputToLinesHandler() = default;

    virtual void set_line_handler(LineCallback on_line);
    virtual void feed(std::string_view data);
    virtual void flush();

    uint64_t dropped_lines() const { return dropped_lines_; }
    uint64_t dropped_bytes() const { return dropped_bytes_; }
    size_t line_limit() const { return line_limit_; }

private:
    void append_pending(std::string_view data);
    void end_line(std::string_view tail);
    void emit(std::string_view line);

    std::string pending_;
    LineCallback on_line_;
    size_t line_limit_;
    bool pending_overflow_ = false;
    uint64_t dropped_lines_ = 0;
    uint64_t dropped_bytes_ = 0;
};

// The list file, the variables and the program runs of one format in one run.
class TargetFormatHandler {
public:
    // The context must outlive the handler.
    TargetFormatHandler(const RunContext& context, const FormatSpecification& format_spec);
    virtual ~TargetFormatHandler();
    TargetFormatHandler(const TargetFormatHandler&) = delete;
    TargetFormatHandler& operator=(const TargetFormatHandler&) = delete;

    // The replacement callback of expand_variables; throws on an unknown variable name.
    virtual std::string resolve_variable(uint32_t group, std::string_view text, bool matched);
    virtual std::string expand_variables(std::string_view text);
    virtual void ensure_format_id();
    virtual void open_listfile();
    virtual void close_listfile();
    // Writes "dir/name" (or "name" in the source root) and CR LF. An entry whose path holds a
    // CR or LF, or is not valid UTF-8, cannot be written as one line of the UTF-8 list file: it
    // is left out, logged and counted instead.
    // Returns whether the entry was written.
    virtual bool add_entry(std::string_view dir, std::string_view name);
    virtual void use_file_pattern(std::string_view pattern, uint32_t path_group,
                                  uint32_t checksum_group);
    virtual void ignore_output_lines();
    virtual void archive_step();
    virtual void verify_step();
    virtual void final_step();
    // The archiving, verification and final steps, each step's confirmations committed.
    void run_steps();

    // The line callback of a step with a file pattern: confirms the file a line names.
    void on_file_line(std::string_view line);
    // What would keep this format's programs from running, one text per problem, each naming
    // the format: a program that cannot be found, an unknown variable, a missing working
    // directory, a file pattern that does not compile or lacks the groups it names.
    std::vector<std::string> problems();

    const FormatSpecification& format_spec() const { return format_spec_; }
    const std::string& listfile_path() const { return listfile_path_; }
    uint32_t entry_count() const { return entry_count_; }
    uint32_t matched_count() const { return matched_count_; }
    // Entries left out of the list file because of their names (see add_entry).
    uint32_t unlistable_count() const { return unlistable_count_; }
    TextOutputToLinesHandler& output_lines() { return output_lines_; }

private:
    enum class Confirmation { Confirmed, NotFound, UnknownDirectory };

    std::string command_line(const FormatSpecificationMethod& method);
    void check_method(const FormatSpecificationOutputMethod& method, std::string_view role,
                      std::vector<std::string>& found);
    // Runs one step's program and logs its error output and exit code; `step` is "archiving"
    // or "verification".
    void run_program(const std::string& command, const FormatSpecificationMethod& method,
                     std::string_view step, bool parse_output, bool verbose,
                     uint32_t progress_interval);
    bool match_line(std::string_view line, std::string_view& path, std::string_view& checksum);
    const Regex* byte_regex();
    void confirm_path(std::string_view path, std::string_view checksum);
    Confirmation try_confirm(std::string_view path, std::string_view checksum,
                             std::string& error_message);
    void log_dropped_lines(uint64_t lines_before, uint64_t bytes_before);
    // Writes the collected list-file lines.
    void flush_listfile();
    // Logs the first lines of a program run that name an unknown directory, counts the rest.
    void log_unknown_directory(const std::string& error_message);

    const RunContext& context_;
    const FormatSpecification& format_spec_;
    TextOutputToLinesHandler output_lines_;
    std::string archive_path_;
    std::string listfile_path_;
    std::unique_ptr<VfsFile> list_file_;
    std::unique_ptr<Regex_replace> variable_replacer_;
    uint32_t entry_count_ = 0;
    int64_t format_id_ = 0;
    std::unique_ptr<Regex> file_regex_;
    uint32_t path_group_ = 0;
    uint32_t checksum_group_ = 0;
    uint32_t matched_count_ = 0;
    uint32_t unlistable_count_ = 0;
    uint64_t unknown_directory_lines_ = 0;

    // The file pattern compiled without UTF8, for output lines that are not valid UTF-8.
    std::string file_pattern_text_;
    std::unique_ptr<Regex> byte_regex_;
    bool byte_regex_failed_ = false;
    std::vector<int> ovector_;
    std::string line_buffer_;
    std::string path_buffer_;
};

// Checks every format of the job before anything is scanned or archived: each problem goes to
// the run log, and any problem ends the run with an error naming the first one.
void check_formats(const RunContext& context);

// The whole archiving phase of a run: listing, the format runs in the job file's order, failure
// marking and the retry pass. Adds the listing's figures to the summary and sets its
// unconfirmed_count to the files that remain unconfirmed.
void archive_formats(const RunContext& context);

} // namespace vesk
