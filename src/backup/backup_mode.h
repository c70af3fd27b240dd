#pragma once
// One backup run of one job: run layout, logs, the working copy of the index, the scan, the
// archiving phase and the commit. One subclass per backup mode.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "formats/run_context.h"
#include "platform/log_callback.h"
#include "platform/logging.h"

namespace vesk {

class ArchiveDb;
class Config;
class VfsDirectoryLock;

// Names of the run layout under the destination directory.
inline constexpr std::string_view kJobLogFile = "backuplog.txt";
inline constexpr std::string_view kJobIndexFile = "backupindex.db";
inline constexpr std::string_view kRunLogFile = "log.txt";
inline constexpr std::string_view kRunIndexFile = "index.db";
// The short names of the backup modes, the last part of a run directory's name.
inline constexpr std::string_view kModeShortNames[] = {"full", "inc", "win", "roll"};

// Takes the destination's lock, which keeps two runs (or a run and a prune) apart; throws when
// another process holds it.
std::unique_ptr<VfsDirectoryLock> lock_destination(const std::string& destination_path);

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
    // Logs the run's figures, closes and commits the index and writes the completion line; every
    // mode ends so.
    virtual void finish();
    virtual void run();
    virtual std::string short_name() const = 0;
    virtual std::string summary_text() const;

    // The run's figures; complete after run().
    const RunSummary& summary() const { return summary_; }
    const std::string& run_log_name() const { return run_log_name_; }

protected:
    // Starts the run from an empty index instead of a copy of the job index.
    void open_empty_index();
    void open_copied_index();
    void open_run_index();
    LogCallback run_log_callback() const;
    // The run as the format handlers see it; the index is in it once it is open.
    RunContext run_context();
    // Writes the run's figures to the run log.
    void log_summary() const;
    // Writes the error that ends the run to the run log and the job log, where they are open.
    void log_failure(std::string_view message) const noexcept;

    const Config& config_;
    RecordRunCallback record_run_;
    uint64_t run_start_time_;
    std::string destination_path_;
    std::string job_log_name_;
    std::string job_db_name_;
    std::string run_subdir_;
    std::string run_log_name_;
    std::string run_db_name_;
    std::string source_path_;
    std::unique_ptr<Logger> run_log_;
    std::unique_ptr<Logger> job_log_;
    std::unique_ptr<ArchiveDb> db_;
    int64_t run_id_ = 0;
    RunSummary summary_;

private:
    std::unique_ptr<VfsDirectoryLock> destination_lock_;
};

class TaskProcedureFull : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    void open_index() override;
    std::string short_name() const override { return "full"; }
};

class TaskProcedureIncremental : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    std::string short_name() const override { return "inc"; }
};

class TaskProcedureWindow : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    void open_index() override;
    std::string short_name() const override { return "win"; }
};

class TaskProcedureRolling : public TaskProcedure {
public:
    using TaskProcedure::TaskProcedure;
    void open_index() override;
    std::string short_name() const override { return "roll"; }
};

} // namespace vesk
