#pragma once
// A job's run prepared up to the archiving phase by the real task procedure: run directory,
// logs and an index filled by the real scanner. The run directory is named by the caller, so
// that runs following each other within one second need not wait for the next second.

#include <optional>
#include <string>

#include "backup/backup_mode.h"
#include "index/archive_db.h"

namespace vesk::testing {

class PreparedRun : public TaskProcedureIncremental {
public:
    using TaskProcedureIncremental::TaskProcedureIncremental;

    // Creates the run directory <destination>/<run_name>, opens the logs and the index.
    void open_run(const std::string& run_name) {
        compute_paths();
        run_subdir_ = destination_path_ + "/" + run_name;
        run_log_name_ = run_subdir_ + "/log.txt";
        run_db_name_ = run_subdir_ + "/index.db";
        prepare_run_directory();
        open_logs();
        open_index();
    }
    // Scans and prepares the index for the listing; the context is ready from here on.
    void scan_and_prepare() {
        scan();
        prepare_index();
        context_.emplace(run_context());
    }
    void prepare(const std::string& run_name) {
        open_run(run_name);
        scan_and_prepare();
    }

    RunContext& context() { return *context_; }
    ArchiveDb& db() { return *db_; }
    const std::string& run_db_name() const { return run_db_name_; }

private:
    std::optional<RunContext> context_;
};

} // namespace vesk::testing
