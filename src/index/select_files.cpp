#include "index/select_files.h"

#include "config/config.h"
#include "index/archive_db.h"
#include "index/scan_recorder.h"
#include "platform/bindings.h"
#include "platform/interrupt.h"
#include "platform/text_format.h"

#include <chrono>
#include <cstring>

namespace vesk {

uint32_t CurrentFileWrapper::own_end() const {
    return scanner_.stack_[scanner_.depth_ - 1].end_offset;
}

uint32_t CurrentFileWrapper::parent_end() const {
    return scanner_.stack_[scanner_.depth_ - 2].end_offset;
}

std::string_view CurrentFileWrapper::name() const {
    const uint32_t begin = parent_end();
    const uint32_t end = own_end() - (is_directory() ? 1 : 0);
    return {scanner_.path_buffer_.get() + begin, end - begin};
}

std::string_view CurrentFileWrapper::path() const {
    return {scanner_.path_buffer_.get(), own_end() - (is_directory() ? 1u : 0u)};
}

std::string_view CurrentFileWrapper::parent() const {
    const uint32_t end = parent_end();
    return {scanner_.path_buffer_.get(), end == 0 ? 0 : end - 1};
}

bool CurrentFileWrapper::is_directory() const {
    return scanner_.current_->is_directory();
}

int64_t CurrentFileWrapper::age() const {
    return creation_time_ - scanner_.current_->modified_time();
}

uint64_t CurrentFileWrapper::size() const {
    return scanner_.current_->size();
}

FileScanner::FileScanner(ArchiveDb& db)
    : db_(db), path_buffer_(std::make_unique<char[]>(kPathBufferSize)),
      stack_(std::make_unique<DirStack[]>(kStackEntries + 1)),
      wrapper_(*this, filetime_to_unix(now())) {}

void FileScanner::set_excluded_directory(std::string_view path) {
    excluded_path_ = path;
}

void FileScanner::scan(const std::vector<std::string>& source_components, const Config& config,
                       const LogCallback& log) {
    const auto start = std::chrono::steady_clock::now();
    depth_ = 1;
    config_ = &config;
    log_ = &log;
    resolve_excluded_directory();
    db_.begin_scan(log);
    walk(source_components, log);

    db_.end_scan(static_cast<int64_t>(counts_.dirs_seen), static_cast<int64_t>(counts_.files_seen),
                 log);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    log(format("Done walking in %s milliseconds.",
               std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    log_left_out();
    config_ = nullptr;
    log_ = nullptr;
}

// Walks and selects on this thread while the recorder writes the index on its own.
void FileScanner::walk(const std::vector<std::string>& source_components, const LogCallback& log) {
    ScanRecorder recorder(db_, kStackEntries, log);
    struct Detach {
        ScanRecorder*& recorder;
        ~Detach() { recorder = nullptr; }
    } detach{recorder_};
    recorder_ = &recorder;
    WalkCallbacks callbacks;
    callbacks.enter_dir = [this](const WalkEntry& entry) { return enter_dir(entry); };
    callbacks.visit_file = [this](const WalkEntry& entry) { return visit_file(entry); };
    callbacks.leave_dir = [this](const WalkEntry& entry) { return leave_dir(entry); };
    callbacks.log = [&recorder](std::string_view line) { recorder.log(line); };
    counts_.walk = VisitFiles(source_components, callbacks, true);
    recorder.finish();
}

bool FileScanner::accept_dir() {
    return config_->select_dirs.selects(wrapper_);
}

bool FileScanner::accept_file() {
    return config_->select_files.selects(wrapper_);
}

bool FileScanner::enter_dir(const WalkEntry& entry) {
    throw_if_interrupted(); // a long walk ends promptly when the run is asked to stop
    ++counts_.dirs_seen;
    current_ = &entry;
    if (depth_ >= kStackEntries || !push_name(entry.name(), true)) {
        stack_[depth_] = stack_[depth_ - 1]; // popped again by leave_dir
        ++depth_;
        skip_too_long(entry);
        return false;
    }
    if (is_excluded(entry)) {
        ++counts_.excluded_dirs;
        log(format("Skipping directory '%s': it is the backup destination.",
                   escape_for_log(entry.display_path())));
        return false;
    }
    if (!accept_dir())
        return false;
    recorder_->add_directory(depth_ - 2, entry.name(), static_cast<int64_t>(entry.size()),
                             entry.modified_time());
    ++counts_.dirs_recorded;
    check_progress();
    return true;
}

bool FileScanner::visit_file(const WalkEntry& entry) {
    ++counts_.files_seen;
    current_ = &entry;
    if (!push_name(entry.name(), false)) {
        skip_too_long(entry);
        return true;
    }
    const bool accepted = accept_file();
    --depth_;
    if (accepted) {
        recorder_->add_file(depth_ - 1, entry.name(), static_cast<int64_t>(entry.size()),
                            entry.modified_time());
        ++counts_.files_recorded;
        check_progress();
    }
    return true;
}

bool FileScanner::leave_dir(const WalkEntry&) {
    --depth_;
    return true;
}

// Appends the name (and "/" for a directory) after the parent's path and pushes its stack
// entry; false, with nothing changed, when the relative path would not fit the buffer.
bool FileScanner::push_name(std::string_view name, bool is_directory) {
    const size_t begin = stack_[depth_ - 1].end_offset;
    const size_t end = begin + name.size() + (is_directory ? 1 : 0);
    if (end > kPathBufferSize)
        return false;
    std::memcpy(path_buffer_.get() + begin, name.data(), name.size());
    if (is_directory)
        path_buffer_[end - 1] = '/';
    stack_[depth_++] = DirStack{static_cast<uint32_t>(end)};
    return true;
}

void FileScanner::resolve_excluded_directory() {
    excluded_identity_ = directory_identity(excluded_path_);
}

bool FileScanner::is_excluded(const WalkEntry& entry) const {
    return excluded_identity_ && entry.identity() == *excluded_identity_;
}

void FileScanner::skip_too_long(const WalkEntry& entry) {
    ++counts_.too_long_skipped;
    log(format("Skipping '%s': its path is too long for the scan buffers.",
               escape_for_log(entry.display_path())));
}

void FileScanner::check_progress() {
    if (counts_.files_recorded + counts_.dirs_recorded < next_progress_)
        return;
    next_progress_ += progress_interval_;
    recorder_->progress(static_cast<int64_t>(counts_.dirs_seen),
                        static_cast<int64_t>(counts_.files_seen));
}

// One line for everything the scan met but did not record, so the run log never hides it.
void FileScanner::log_left_out() const {
    const WalkCounts& walk = counts_.walk;
    if (walk.special_files_skipped + walk.unreadable_dirs + walk.loops_not_entered +
            walk.unreadable_entries + counts_.too_long_skipped ==
        0)
        return;
    log(format("Not backed up: %s special files (FIFOs, sockets, devices), %s entries that could "
               "not be examined, %s entries with too long paths; %s directories could not be "
               "listed, %s link loops were not entered.",
               walk.special_files_skipped, walk.unreadable_entries, counts_.too_long_skipped,
               walk.unreadable_dirs, walk.loops_not_entered));
}

void FileScanner::log(const std::string& line) const {
    if (recorder_)
        recorder_->log(line);
    else if (log_ && *log_)
        (*log_)(line);
}

} // namespace vesk
