#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include "backup/backup_mode.h"
#include "backup/index_snapshot.h"
#include "backup/restore.h"
#include "platform/bindings.h"
#include "platform/dir_walk.h"
#include "platform/logging.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

std::string padded(std::string text, size_t width, bool right) {
    if (text.size() < width) {
        text.insert(right ? text.begin() : text.end(), width - text.size(), ' ');
    }
    return text;
}

// "YYYY-MM-DD hh:mm:ss" in UTC; the plain number of seconds outside what a file time holds.
std::string utc_time_text(int64_t unix_seconds) {
    constexpr int64_t kLatest = 900'000'000'000; // far below the file time's limit
    if (unix_seconds < -kSecondsFrom1601To1970 || unix_seconds > kLatest) {
        return format("%s s", unix_seconds);
    }
    const auto filetime =
        static_cast<uint64_t>(unix_seconds + kSecondsFrom1601To1970) * kFileTimeTicksPerSecond;
    return format_timestamp(filetime).substr(0, 19);
}

std::string run_label(const StoredEntry& entry) {
    if (entry.archive_id == 0) {
        return "-";
    }
    return entry.run_directory.empty() ? std::string("unknown") : std::string(entry.run_directory);
}

} // namespace

void list_stored_files(const Config& config, const StoredFilesRequest& request) {
    const IndexSnapshot snapshot(config, request.run_name);
    const PathFilter filter(request.path_patterns);
    std::map<std::string_view, int64_t> counts;
    int64_t files = 0;
    int64_t bytes = 0;
    for (const StoredEntry& entry : snapshot.entries()) {
        if (entry.is_directory || !filter.takes(entry)) {
            continue;
        }
        ++files;
        bytes += entry.size;
        ++counts[entry.condition];
        print_console_line(format("%s %s %s %s %s", padded(std::string(entry.condition), 20, false),
                                  padded(format("%s", entry.size), 12, true),
                                  utc_time_text(entry.modified_time),
                                  padded(run_label(entry), 19, false), escape_for_log(entry.path)));
    }
    print_console_line(format("%s files, %s bytes: %s stored, %s failed, %s changed since "
                              "stored, %s never stored.",
                              files, bytes, counts["stored"], counts["failed"],
                              counts["changed since stored"], counts["never stored"]));
}

void prune_run_directories(const Config& config, int64_t keep, bool dry) {
    const std::string destination = IndexSnapshot::destination_of(config);
    const VfsPath destination_path(true, destination);
    if (!destination_path.is_directory()) {
        throw std::runtime_error(format(
            "The destination_dir '%s' does not exist: there is nothing to prune.", destination));
    }
    const auto lock = lock_destination(destination);
    const IndexSnapshot snapshot(config, "");
    std::set<std::string> needed;
    for (const StoredEntry& entry : snapshot.entries()) {
        if (entry.archive_id != 0 && entry.run_directory.empty()) {
            throw std::runtime_error(
                "The index holds copies from runs recorded before runs had directory names, so "
                "it cannot tell which run directories a restore needs. Nothing was pruned.");
        }
        if (entry.archive_id != 0) {
            needed.emplace(entry.run_directory);
        }
    }
    std::vector<std::string> runs;
    for (std::string& name : destination_path.list_names()) {
        if (is_run_directory_name(name) &&
            VfsPath(true, destination + "/" + name).entry_kind() == VfsEntryKind::Directory) {
            runs.push_back(std::move(name));
        }
    }
    std::sort(runs.begin(), runs.end());
    const size_t newest_kept = static_cast<size_t>(std::max<int64_t>(keep, 1));
    const Logger job_log(dry ? std::string() : destination + "/" + std::string(kJobLogFile));
    int64_t pruned = 0;
    for (size_t i = 0; i + newest_kept < runs.size(); ++i) {
        if (needed.count(runs[i]) != 0) {
            continue;
        }
        const std::string path = destination + "/" + runs[i];
        if (dry) {
            job_log.log("Would prune the run directory '%s': no file of the index needs it.", path);
        } else {
            VfsPath(true, path).remove_tree();
            job_log.log("Pruned the run directory '%s': no file of the index needs it.", path);
        }
        ++pruned;
    }
    print_console_line(format("%s %s of %s run directories; the newest %s and every one that a "
                              "file of the index needs are kept.",
                              dry ? "Would prune" : "Pruned", pruned, runs.size(),
                              std::min(newest_kept, runs.size())));
}

} // namespace vesk
