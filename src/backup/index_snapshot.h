#pragma once
// A private copy of one of a job's indexes with every object it holds, and the path filter of
// restore and list. Shared by restore, list and prune.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/pathpattern.h"
#include "platform/vfs.h"

namespace vesk {

class ArchiveDb;
class Config;

// The path made absolute against the current directory, lexically, in its normal form.
std::string absolute_path(const std::string& text);

// One object of an index, as a restore, a listing or a prune needs it.
struct StoredEntry {
    std::string path; // relative to the source directory
    bool is_directory = false;
    int64_t size = 0;
    int64_t modified_time = 0;
    // Views of texts that the snapshot holds once for all its entries.
    std::string_view condition;
    int64_t archive_id = 0;
    std::string_view format_name;
    std::string_view run_directory;
};

// A private copy of one of the job's indexes (the committed one, or the copy in the run
// directory `run_name`), read whole; its entries are sorted by path.
class IndexSnapshot {
public:
    IndexSnapshot(const Config& config, std::string_view run_name);
    ~IndexSnapshot();
    IndexSnapshot(const IndexSnapshot&) = delete;
    IndexSnapshot& operator=(const IndexSnapshot&) = delete;

    // The job's destination directory, absolute; throws when the job names none.
    static std::string destination_of(const Config& config);

    const std::string& destination_path() const { return destination_path_; }
    const std::string& source_path() const { return source_path_; }
    const std::string& work_dir() const { return work_dir_.path(); }
    const std::vector<StoredEntry>& entries() const { return entries_; }

private:
    // One copy of each condition, format and run name, however many entries name it.
    std::string_view interned(std::string_view text);
    std::string index_path(std::string_view run_name) const;

    std::string destination_path_;
    std::string source_path_;
    VfsTemporaryDirectory work_dir_;
    std::set<std::string, std::less<>> texts_;
    std::vector<StoredEntry> entries_;
};

// The request's path patterns, compiled.
class PathFilter {
public:
    explicit PathFilter(const std::vector<std::string>& patterns) {
        for (const std::string& pattern : patterns) {
            patterns_.emplace_back(pattern);
        }
    }
    bool empty() const { return patterns_.empty(); }
    bool takes(const StoredEntry& entry) const {
        return patterns_.empty() ||
               std::any_of(patterns_.begin(), patterns_.end(),
                           [&](const PathPattern& pattern) { return pattern.matches(entry.path); });
    }

private:
    std::vector<PathPattern> patterns_;
};

} // namespace vesk
