#pragma once
// Getting files back from a job's destination: restore through the formats' recover methods,
// the listing of what is stored, and pruning of run directories that no restore needs. Each
// works on a private copy of an index (the committed one, or the copy in a run directory), so
// a backup that commits meanwhile is neither disturbed nor seen half-way.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

class Config;

// Which index to read and which of its files to take.
struct StoredFilesRequest {
    // A run directory name: the index as that run left it. Empty: the committed index.
    std::string run_name;
    // Path patterns of the job language; a file is taken when its relative path matches one.
    // None: every file.
    std::vector<std::string> path_patterns;
};

struct RestoreSummary {
    int64_t restored = 0;
    // Restored from a copy older than the index's facts (the file changed after it was stored).
    int64_t from_older_copy = 0;
    // Not there after the restore; each is named in the log ("Missing: ...").
    int64_t missing = 0;
    // There, but not as the index records it (another size, or not a file or link); each is
    // named in the log ("Differs: ...").
    int64_t differing = 0;
    // Restored with another modification time than the index records (informational).
    int64_t other_time = 0;
};

// True for "YYYYMMDD_hhmmss_" followed by the short name of a backup mode.
bool is_run_directory_name(std::string_view name);

// Restores the files into `target_dir` (created when missing; refused unless empty), each from
// the archive that holds its newest confirmed copy, then checks every file.
RestoreSummary restore_files(const Config& config, const StoredFilesRequest& request,
                             const std::string& target_dir);

// Prints the stored files, one a line, sorted by path, then a summary line.
void list_stored_files(const Config& config, const StoredFilesRequest& request);

// Removes the run directories that no file of the committed index needs, except the newest
// `keep` (at least one). With `dry` it only prints what it would remove.
void prune_run_directories(const Config& config, int64_t keep, bool dry);

} // namespace vesk
