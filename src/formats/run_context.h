#pragma once
// What the archiving phase gets from its run, and the figures it reports back.

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vesk {

class ArchiveDb;
class Config;
class Logger;

// Figures of one run for its closing summary and its exit status.
struct RunSummary {
    uint64_t listed_files = 0;
    uint64_t listed_bytes = 0;
    double scan_seconds = 0;
    double listing_seconds = 0;
    // Each program step in the order it ran: "'7z' archiving", seconds.
    std::vector<std::pair<std::string, double>> steps;
    double commit_seconds = 0;
    // Files still marked failed after the archiving phase.
    int64_t unconfirmed_count = 0;
    // Of those, files that no list file can hold under their present names (a line break or
    // invalid UTF-8 in the name): every run leaves them out again until they are renamed.
    int64_t unlistable_count = 0;
    // Entries the scan could not look at: unreadable directories, paths too long.
    int64_t skipped_count = 0;
    // The file in the run directory that names the files that ended the run failed; empty when
    // none was written.
    std::string failed_files_path;

    // Failed files that the next run lists again (those left out for their names are not).
    int64_t retryable_failures() const {
        return unconfirmed_count > unlistable_count ? unconfirmed_count - unlistable_count : 0;
    }
};

// Seconds from `start` until now, for the phase times of the summary.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The run as the format handlers see it: the job, the run's log, directories and index, and the
// summary that they add their figures to.
struct RunContext {
    const Config& config;
    const Logger& run_log;
    std::string run_subdir;
    std::string source_path;
    // In 100-ns units since 1601, as the index's times.
    uint64_t run_start_time = 0;
    // Null while the formats are checked, before the run's index is open.
    ArchiveDb* db = nullptr;
    int64_t run_id = 0;
    RunSummary& summary;
};

} // namespace vesk
