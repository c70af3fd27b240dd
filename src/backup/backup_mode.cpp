#include "backup/backup_mode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "config/config.h"
#include "formats/target_format.h"
#include "index/archive_db.h"
#include "index/select_files.h"
#include "platform/bindings.h"
#include "platform/interrupt.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

// The committed index is written here first and then renamed over the job index.
constexpr std::string_view commit_temp_suffix = ".commit";

// "YYYYMMDD_hhmmss_<mode>" of the start time in UTC.
std::string run_directory_name(uint64_t start_time, std::string_view short_name) {
    const std::string t = format_timestamp(start_time);
    return format("%s%s%s_%s%s%s_%s", t.substr(0, 4), t.substr(5, 2), t.substr(8, 2),
                  t.substr(11, 2), t.substr(14, 2), t.substr(17, 2), short_name);
}

std::string appended(VfsPath& path, std::string_view name) {
    path.append(name);
    std::string text = path.normal_copy();
    path.pop();
    return text;
}

// The job index and the job log are read and appended to in place: anything at their names but
// a regular file (a link to elsewhere, a directory, a FIFO) is refused before a run writes.
void refuse_unless_regular_file(const std::string& path, std::string_view role) {
    const char* problem = nullptr;
    switch (VfsPath(true, path).entry_kind()) {
    case VfsEntryKind::Missing:
    case VfsEntryKind::File:
        return;
    case VfsEntryKind::Link:
        problem = "a symbolic link";
        break;
    case VfsEntryKind::Directory:
        problem = "a directory";
        break;
    case VfsEntryKind::Other:
        problem = "a FIFO, socket or device";
        break;
    case VfsEntryKind::Unknown:
        problem = "not accessible";
        break;
    }
    throw std::runtime_error(format("The %s '%s' is %s, not a regular file. Move it out of the "
                                    "way and run again.",
                                    role, path, problem));
}

constexpr int kSameSecondAttempts = 3;

// Waits until the clock has passed the second of `time` (a file time in 100-ns units).
void sleep_until_next_second(uint64_t time) {
    const uint64_t next = (time / kFileTimeTicksPerSecond + 1) * kFileTimeTicksPerSecond;
    while (now() < next) {
        std::this_thread::sleep_for(std::chrono::nanoseconds((next - now()) * 100 + 1'000'000));
    }
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

// The count of a window or rolling mode.
int32_t mode_count(const Config& config) {
    if (auto* window = dynamic_cast<const WindowMode*>(config.mode.get())) {
        return window->count;
    }
    if (auto* rolling = dynamic_cast<const RollingMode*>(config.mode.get())) {
        return rolling->count;
    }
    return 0;
}

} // namespace

std::unique_ptr<VfsDirectoryLock> lock_destination(const std::string& destination_path) {
    auto lock = VfsDirectoryLock::try_lock(VfsPath(true, destination_path));
    if (!lock) {
        throw std::runtime_error(
            format("Another backup run is using the destination directory '%s'. Try again when "
                   "it has finished.",
                   destination_path));
    }
    return lock;
}

TaskProcedure::TaskProcedure(const Config& config, RecordRunCallback record_run)
    : config_(config), record_run_(std::move(record_run)), run_start_time_(now()) {}

TaskProcedure::~TaskProcedure() = default;

void TaskProcedure::compute_paths() {
    // Absolute from here on, so that archivers started in another working directory get paths
    // that name the same files.
    VfsPath path(true, VfsPath(true, config_.destination_dir).absolute_copy());
    destination_path_ = path.normal_copy();
    job_log_name_ = appended(path, kJobLogFile);
    job_db_name_ = appended(path, kJobIndexFile);
    path.append(run_directory_name(run_start_time_, short_name()));
    run_subdir_ = path.normal_copy();
    run_log_name_ = appended(path, kRunLogFile);
    run_db_name_ = appended(path, kRunIndexFile);
    path.set(VfsPath(true, config_.source_dir).absolute_copy());
    source_path_ = path.normal_copy();
}

void TaskProcedure::prepare_run_directory() {
    VfsPath source(true, source_path_);
    if (!source.is_directory()) {
        throw std::runtime_error(
            format("The specified source_dir cannot be found. '%s'", source_path_));
    }
    if (destination_path_.empty()) {
        throw std::runtime_error("The specified destination_dir is empty.");
    }
    VfsPath destination(true, destination_path_);
    if (destination.same_entry_as(source)) {
        // Every run would store the earlier runs' archives again.
        throw std::runtime_error(
            format("The destination_dir '%s' is the source_dir itself. Choose another "
                   "destination.",
                   destination_path_));
    }
    if (!destination.is_directory()) {
        destination.create_directories();
    }
    // Two runs committing to one destination would silently lose one run's confirmations.
    destination_lock_ = lock_destination(destination_path_);
    refuse_unless_regular_file(job_db_name_, "job index");
    refuse_unless_regular_file(job_log_name_, "job log");
    // A run directory of the same name that holds a run log belongs to a run that started in
    // this same second and has ended (the lock says so): this run starts in the next second.
    for (int attempt = 0; attempt < kSameSecondAttempts &&
                          VfsPath(true, run_subdir_ + "/" + std::string(kRunLogFile)).is_file();
         ++attempt) {
        sleep_until_next_second(run_start_time_);
        run_start_time_ = now();
        compute_paths();
    }
    VfsPath run_directory(true, run_subdir_);
    if (run_directory.exists()) {
        throw std::runtime_error(
            format("The directory/file already exists. Delete '%s' to proceed. ", run_subdir_));
    }
    run_directory.create_directories();
}

void TaskProcedure::open_logs() {
    job_log_ = std::make_unique<Logger>(job_log_name_);
    run_log_ = std::make_unique<Logger>(run_log_name_);
    job_log_->log("Starting backup from '%s' to '%s'.", source_path_, run_subdir_);
    run_log_->log("Runlog created.");
    std::istringstream summary_lines(summary_text());
    for (std::string line; std::getline(summary_lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        run_log_->log("%s", line);
    }
}

void TaskProcedure::open_index() {
    open_copied_index();
}

void TaskProcedure::open_copied_index() {
    copy_job_index(false);
    open_run_index();
}

void TaskProcedure::open_empty_index() {
    run_log_->log("Starting from an empty index: every selected file is listed.");
    open_run_index();
}

// A run without a copy of the job index starts from an empty private file, which the index
// then fills with its tables.
void TaskProcedure::open_run_index() {
    const VfsPath run_db(true, run_db_name_);
    if (!run_db.exists()) {
        VfsFile::CreatePrivate(run_db)->Close();
    }
    db_ = std::make_unique<ArchiveDb>(run_db_name_);
}

void TaskProcedure::copy_job_index(bool force) {
    VfsPath job_db(true, job_db_name_);
    if (force || job_db.is_file()) {
        job_db.copy_to(VfsPath(true, run_db_name_), false);
    }
}

void TaskProcedure::commit_index(bool force) {
    if (config_.dry_run) {
        run_log_->log("Backup index NOT commited because this is a dry run.");
        return;
    }
    VfsPath run_db(true, run_db_name_);
    if (!force && !run_db.is_file()) {
        return;
    }
    // Copy, flush and rename: a crash or a full disk leaves the old or the new index, never a
    // torn one. A stale copy left by an earlier run is removed, never opened.
    VfsPath temporary(true, job_db_name_ + std::string(commit_temp_suffix));
    try {
        run_db.copy_to(temporary, true, true);
        throw_if_interrupted(); // the last moment at which nothing is committed yet
        temporary.move_to(VfsPath(true, job_db_name_));
    } catch (...) {
        // A partial copy would only take space on what may be a full disk.
        VfsPath(false, temporary.normal_view()).delete_file();
        throw;
    }
    VfsPath(true, destination_path_).flush_directory();
}

LogCallback TaskProcedure::run_log_callback() const {
    return [this](std::string_view line) { run_log_->log("%s", line); };
}

void TaskProcedure::scan() {
    const auto start = std::chrono::steady_clock::now();
    run_id_ = record_run_(*db_);
    db_->name_run(run_id_, VfsPath(true, run_subdir_).pop());
    const LogCallback log = run_log_callback();
    FileScanner scanner(*db_);
    scanner.set_excluded_directory(destination_path_);
    scanner.scan(VfsPath(true, source_path_).components_copy(), config_, log);
    summary_.skipped_count = static_cast<int64_t>(scanner.skipped_count());
    db_->log_status(log);
    db_->cleanup(log);
    summary_.scan_seconds = seconds_since(start);
}

void TaskProcedure::prepare_index() {
    db_->prepare_listing();
    db_->cache_dirs(run_log_callback());
}

RunContext TaskProcedure::run_context() {
    return RunContext{.config = config_,
                      .run_log = *run_log_,
                      .run_subdir = run_subdir_,
                      .source_path = source_path_,
                      .run_start_time = run_start_time_,
                      .db = db_.get(),
                      .run_id = run_id_,
                      .summary = summary_};
}

void TaskProcedure::run() {
    try {
        compute_paths();
        prepare_run_directory();
        open_logs();
        for (const std::string& warning : config_.selection_warnings()) {
            run_log_->log("%s", warning);
        }
        check_formats(run_context()); // a broken format fails now, not after the scan
        open_index();
        scan();
        throw_if_interrupted();
        prepare_index();
        archive_formats(run_context());
        throw_if_interrupted();
        finish();
    } catch (const std::exception& error) {
        log_failure(error.what());
        throw;
    }
}

// An unattended run's logs must say why it ended; the console gets the error from the caller.
void TaskProcedure::log_failure(std::string_view message) const noexcept {
    const std::string line = "Error: " + std::string(message);
    if (run_log_) {
        run_log_->log_to_file(line);
    }
    if (job_log_) {
        job_log_->log_to_file(line);
    }
}

std::string TaskProcedure::summary_text() const {
    return format("run_start_time: %s\r\njob_log_name: %s\r\njob_db_name: %s\r\nrun_subdir: "
                  "%s\r\nrun_log_name: %s\r\nrun_db_name: %s\r\n",
                  format_timestamp(run_start_time_), job_log_name_, job_db_name_, run_subdir_,
                  run_log_name_, run_db_name_);
}

void TaskProcedure::log_summary() const {
    const int64_t failed = summary_.retryable_failures();
    const int64_t stored =
        std::max<int64_t>(static_cast<int64_t>(summary_.listed_files) - failed, 0);
    run_log_->log("Summary: %s files listed (%s bytes), %s stored, %s failed, %s left out for "
                  "their names, %s skipped by the scan.",
                  summary_.listed_files, summary_.listed_bytes, config_.dry_run ? 0 : stored,
                  config_.dry_run ? 0 : failed, summary_.unlistable_count, summary_.skipped_count);
    std::string times =
        format("Time in seconds: scan %s, listing %s", seconds_text(summary_.scan_seconds),
               seconds_text(summary_.listing_seconds));
    for (const auto& [step, seconds] : summary_.steps) {
        times += format(", %s %s", step, seconds_text(seconds));
    }
    run_log_->log("%s.", times);
}

void TaskProcedure::finish() {
    log_summary();
    run_log_->log("Closing database.");
    db_->close();
    const auto commit_start = std::chrono::steady_clock::now();
    commit_index(true);
    summary_.commit_seconds = seconds_since(commit_start);
    job_log_->log("Backup procedure completed.");
    destination_lock_.reset();
}

void TaskProcedureFull::open_index() {
    open_empty_index();
}

void TaskProcedureWindow::open_index() {
    const int32_t window = mode_count(config_);
    if (window <= 1 || !VfsPath(true, job_db_name_).is_file()) {
        open_empty_index();
        return;
    }
    open_copied_index();
    const int64_t runs = db_->run_count();
    if (runs >= window) {
        // The window is complete: this run starts the next one with a full backup.
        run_log_->log("The index holds %s runs; window(%s) starts again with a full run.", runs,
                      window);
        db_->close();
        db_.reset();
        VfsPath(true, run_db_name_).delete_file();
        open_empty_index();
    }
}

void TaskProcedureRolling::open_index() {
    open_copied_index();
    // The newest N runs, this one included, must together hold every file: confirmations of
    // older runs no longer count.
    const int64_t keep = static_cast<int64_t>(mode_count(config_)) - 1;
    const int64_t expired = db_->expire_confirmations(keep);
    run_log_->log("Listing again %s files last stored more than %s runs ago.", expired,
                  mode_count(config_));
}

} // namespace vesk
