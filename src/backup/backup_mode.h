#pragma once
// One backup run of one job: run layout, logs, the working copy of the index, the scan, the
// archiving phase and the commit. One subclass per backup mode.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/log_callback.h"
#include "platform/logging.h"

namespace vesk {

class ArchiveDb;
class Config;
class TargetFormatHandler;
class VfsDirectoryLock;

// Figures of one run for its closing summary.
struct RunSummary {
    uint64_t listed_files = 0;
    uint64_t listed_bytes = 0;
    double scan_seconds = 0;
    double listing_seconds = 0;
    // Each program step in the order it ran: "'7z' archiving", seconds.
    std::vector<std::pair<std::string, double>> steps;
    double commit_seconds = 0;
};

// Records the run (version text, command line, job text) in the index and returns its id.
using RecordRunCallback = std::function<int64_t(ArchiveDb&)>;

class TaskProcedure {
public:
    TaskProcedure(const Config& config, RecordRunCallback record_run);
    virtual ~TaskProcedure();
    TaskProcedure(const TaskProcedure&) = delete;
    TaskProcedure& operator=(const TaskProcedure&) = delete;

    virtual void compute_paths();
    virtual void prepare_run_directory();
    virtual void copy_job_index(bool force);
    virtual void commit_index(bool force);
    virtual void open_logs();
    virtual void open_index();
    virtual void scan();
    virtual void prepare_index();
    virtual void run_format(TargetFormatHandler& handler);
    virtual void finish() = 0;
    virtual void run();
    virtual std::string short_name() const = 0;
    virtual std::string display_name() const = 0;
    virtual std::string summary_text() const;

    // Files still marked failed after the archiving phase (set by the archiving phase).
    int64_t unconfirmed_count = 0;
    // Of those, files that no list file can hold under their present names (a line break or
    // invalid UTF-8 in the name): every run leaves them out again until they are renamed.
    int64_t unlistable_count = 0;
    // Entries the scan could not look at: unreadable directories, paths too long.
    int64_t skipped_count = 0;
    // The file in the run directory that names the files that ended the run failed; empty when
    // none was written.
    std::string failed_files_path;
    RunSummary summary;

    std::unique_ptr<Logger> run_log;
    std::unique_ptr<Logger> job_log;
    const Config& config;
    RecordRunCallback record_run;
    uint64_t run_start_time;
    std::string destination_path;
    std::string job_log_name;
    std::string job_db_name;
    std::string run_subdir;
    std::string run_log_name;
    std::string run_db_name;
    std::string source_path;
    std::unique_ptr<ArchiveDb> db;
    int64_t run_id = 0;

protected:
    // The incremental finish, shared by every mode: close, commit, completion line.
    void close_and_commit();
    // Starts the run from an empty index instead of a copy of the job index.
    void open_empty_index();
    void open_copied_index();
    void open_run_index();
    LogCallback run_log_callback() const;
    // Writes the run's figures to the run log.
    void log_summary() const;
    // Writes the error that ends the run to the run log and the job log, where they are open.
    void log_failure(std::string_view message) const noexcept;

private:
    std::unique_ptr<VfsDirectoryLock> destination_lock_;
};

class TaskProcedureFull : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    void open_index() override;
    void finish() override;
    std::string short_name() const override { return "full"; }
    std::string display_name() const override { return "Full"; }
};

class TaskProcedureIncremental : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    void finish() override;
    std::string short_name() const override { return "inc"; }
    std::string display_name() const override { return "Incremental"; }
};

class TaskProcedureWindow : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    void open_index() override;
    void finish() override;
    std::string short_name() const override { return "win"; }
    std::string display_name() const override { return "Window"; }
};

class TaskProcedureRolling : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    void open_index() override;
    void finish() override;
    std::string short_name() const override { return "roll"; }
    std::string display_name() const override { return "Rolling"; }
};

} // namespace vesk
