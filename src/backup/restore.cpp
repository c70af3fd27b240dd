#include "backup/restore.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "config/config.h"
#include "config/pathpattern.h"
#include "formats/recover_format.h"
#include "formats/target_format.h"
#include "index/archive_db.h"
#include "platform/bindings.h"
#include "platform/dir_walk.h"
#include "platform/interrupt.h"
#include "platform/logging.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

constexpr std::string_view kJobIndexName = "backupindex.db";
constexpr std::string_view kJobLogName = "backuplog.txt";
constexpr std::string_view kRunIndexName = "index.db";
constexpr std::string_view kModeShortNames[] = {"full", "inc", "win", "roll"};
// Files restored with another modification time are named one by one up to this count.
constexpr int64_t kTimeMismatchLogLimit = 20;

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

std::string absolute_path(const std::string& text) {
    return VfsPath(true, VfsPath(true, text).absolute_copy()).normal_copy();
}

std::string joined(std::string_view directory, std::string_view name) {
    return directory.empty() ? std::string(name) : format("%s/%s", directory, name);
}

// A private copy of one of the job's indexes, opened, with every object it holds.
class IndexSnapshot {
public:
    IndexSnapshot(const Config& config, std::string_view run_name)
        : destination_path_(destination_of(config)), source_path_(absolute_path(config.source_dir)),
          work_dir_("vesk-restore-") {
        const std::string index = index_path(run_name);
        const std::string copy = work_dir_.path() + "/" + std::string(kRunIndexName);
        VfsPath(true, index).copy_to(VfsPath(true, copy), false);
        db_ = std::make_unique<ArchiveDb>(copy);
        db_->cache_dirs([](std::string_view) {});
        db_->list_stored([this](const ArchiveDb::StoredObject& object) {
            entries_.push_back(
                StoredEntry{joined(object.dir_path, object.name), object.is_directory, object.size,
                            object.modified_time, interned(object.condition), object.archive_id,
                            interned(object.format_name), interned(object.run_directory)});
        });
        db_->close();
        std::sort(entries_.begin(), entries_.end(),
                  [](const StoredEntry& a, const StoredEntry& b) { return a.path < b.path; });
    }

    static std::string destination_of(const Config& config) {
        if (config.destination_dir.empty()) {
            throw std::runtime_error("The specified destination_dir is empty.");
        }
        return absolute_path(config.destination_dir);
    }

    const std::string& destination_path() const { return destination_path_; }
    const std::string& source_path() const { return source_path_; }
    const std::string& work_dir() const { return work_dir_.path(); }
    const std::vector<StoredEntry>& entries() const { return entries_; }

private:
    // One copy of each condition, format and run name, however many entries name it.
    std::string_view interned(std::string_view text) { return *texts_.emplace(text).first; }

    std::string index_path(std::string_view run_name) const {
        if (run_name.empty()) {
            const std::string path = destination_path_ + "/" + std::string(kJobIndexName);
            if (VfsPath(true, path).entry_kind() != VfsEntryKind::File) {
                throw std::runtime_error(
                    format("There is no committed index '%s': nothing has been backed up to "
                           "this destination yet.",
                           path));
            }
            return path;
        }
        if (!is_run_directory_name(run_name)) {
            throw std::runtime_error(format(
                "'%s' is not the name of a run directory (YYYYMMDD_hhmmss_mode).", run_name));
        }
        const std::string path = format("%s/%s/%s", destination_path_, run_name, kRunIndexName);
        if (VfsPath(true, path).entry_kind() != VfsEntryKind::File) {
            throw std::runtime_error(
                format("The run directory '%s/%s' does not exist or holds no index copy.",
                       destination_path_, run_name));
        }
        return path;
    }

    std::string destination_path_;
    std::string source_path_;
    VfsTemporaryDirectory work_dir_;
    std::unique_ptr<ArchiveDb> db_;
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

// The restore target: created when missing, refused when it holds anything.
std::string prepare_target(const std::string& target_dir) {
    const std::string target = absolute_path(target_dir);
    const VfsPath path(true, target);
    switch (path.entry_kind()) {
    case VfsEntryKind::Missing:
        path.create_directories();
        return target;
    case VfsEntryKind::Directory:
        if (path.list_names().empty()) {
            return target;
        }
        throw std::runtime_error(format("The restore directory '%s' is not empty. Restore into "
                                        "a new or empty directory.",
                                        target));
    default:
        throw std::runtime_error(format("The restore directory '%s' is not a directory.", target));
    }
}

// The files of one archive that a restore takes from it.
struct ArchiveGroup {
    std::string run_directory;
    std::string format_name;
    std::vector<const StoredEntry*> files;
};

class Restore {
public:
    Restore(const Config& config, const StoredFilesRequest& request, const std::string& target)
        : config_(config), snapshot_(config, request.run_name), filter_(request.path_patterns),
          target_(prepare_target(target)), run_name_(request.run_name) {}

    RestoreSummary run() {
        log_.log("Restoring from the index of %s into '%s'.", request_label(), target_);
        plan();
        if (wanted_ == 0 && !filter_.empty()) {
            log_.log("No file of the index matches the path patterns.");
        }
        check_formats();
        create_directories();
        for (ArchiveGroup& group : groups_) {
            throw_if_interrupted();
            recover(group);
        }
        check_files();
        log_.log("Restored %s of %s files into '%s': %s from an older copy, %s missing, %s "
                 "differing from the index, %s with another modification time.",
                 summary_.restored, wanted_, target_, summary_.from_older_copy, summary_.missing,
                 summary_.differing, summary_.other_time);
        return summary_;
    }

private:
    std::string request_label() const {
        return run_name_.empty() ? std::string("the last run") : format("run '%s'", run_name_);
    }

    void report_missing(const StoredEntry& file, std::string_view reason) {
        ++summary_.missing;
        log_.log("Missing: '%s': %s", escape_for_log(file.path), reason);
    }

    void report_differing(const StoredEntry& file, std::string_view reason) {
        ++summary_.differing;
        log_.log("Differs: '%s': %s", escape_for_log(file.path), reason);
    }

    // Groups the wanted files by the archive that holds them; files without a usable copy are
    // missing from the start.
    void plan() {
        std::map<std::pair<std::string_view, std::string_view>, ArchiveGroup> groups;
        for (const StoredEntry& entry : snapshot_.entries()) {
            if (entry.is_directory || !filter_.takes(entry)) {
                continue;
            }
            ++wanted_;
            if (entry.archive_id == 0) {
                report_missing(entry,
                               format("no copy of it was ever stored (%s).", entry.condition));
            } else if (entry.run_directory.empty()) {
                report_missing(entry, "its copy lies in a run recorded before runs had "
                                      "directory names; restore it from that run's archive by "
                                      "hand.");
            } else if (unlistable_reason("", entry.path) != nullptr) {
                report_missing(entry, "its name cannot be written to a list file.");
            } else if (!VfsPath(true, run_path(entry.run_directory)).is_directory()) {
                report_missing(entry,
                               format("its run directory '%s' is gone.", entry.run_directory));
            } else {
                ArchiveGroup& group = groups[{entry.run_directory, entry.format_name}];
                group.run_directory = std::string(entry.run_directory);
                group.format_name = std::string(entry.format_name);
                group.files.push_back(&entry);
            }
        }
        for (auto& [key, group] : groups) {
            groups_.push_back(std::move(group));
        }
    }

    std::string run_path(std::string_view run_directory) const {
        return format("%s/%s", snapshot_.destination_path(), run_directory);
    }

    const FormatSpecification& format_spec(const ArchiveGroup& group) const {
        for (const auto& spec : config_.format_specifications) {
            if (spec->name == group.format_name) {
                return *spec;
            }
        }
        throw std::runtime_error(
            format("The format '%s' of the archive in run '%s' is not in the job file; its recover "
                   "method is needed to restore %s files from it.",
                   group.format_name, group.run_directory, group.files.size()));
    }

    std::unique_ptr<RecoverFormatHandler> handler(const ArchiveGroup& group) const {
        const std::string run = run_path(group.run_directory);
        return std::make_unique<RecoverFormatHandler>(
            log_, format_spec(group),
            RecoverPaths{target_, snapshot_.source_path(),
                         format("%s/data.%s", run, group.format_name),
                         format("%s/listfile.%s.%s.lst", snapshot_.work_dir(), group.run_directory,
                                group.format_name)},
            config_.verbose_archiving);
    }

    // Nothing is extracted while a format that a restore needs cannot run.
    void check_formats() const {
        std::vector<std::string> problems;
        for (const ArchiveGroup& group : groups_) {
            for (std::string& problem : handler(group)->problems()) {
                log_.log("%s", problem);
                problems.push_back(std::move(problem));
            }
        }
        if (!problems.empty()) {
            throw std::runtime_error(problems.front());
        }
    }

    // Directories come back even when they hold no file; with path patterns only the files
    // asked for (and the directories their archivers make) come back.
    void create_directories() const {
        if (!filter_.empty()) {
            return;
        }
        for (const StoredEntry& entry : snapshot_.entries()) {
            if (entry.is_directory) {
                VfsPath(true, target_ + "/" + entry.path).create_directories();
            }
        }
    }

    void recover(const ArchiveGroup& group) {
        std::vector<std::string_view> paths;
        paths.reserve(group.files.size());
        for (const StoredEntry* file : group.files) {
            paths.push_back(file->path);
        }
        log_.log("Restoring %s files from the '%s' archive of run '%s'.", paths.size(),
                 group.format_name, group.run_directory);
        const auto recover_handler = handler(group);
        recover_handler->write_listfile(paths);
        recover_handler->run();
    }

    void check_files() {
        for (const ArchiveGroup& group : groups_) {
            for (const StoredEntry* file : group.files) {
                check_file(*file);
            }
        }
    }

    void check_file(const StoredEntry& file) {
        const VfsEntryFacts facts = VfsPath(true, target_ + "/" + file.path).entry_facts();
        if (facts.kind == VfsEntryKind::Directory || facts.kind == VfsEntryKind::Other) {
            report_differing(file, "it was restored as something other than a file or link.");
            return;
        }
        if (facts.kind != VfsEntryKind::File && facts.kind != VfsEntryKind::Link) {
            report_missing(file, format("the recover program of '%s' did not restore it from "
                                        "run '%s'.",
                                        file.format_name, file.run_directory));
            return;
        }
        if (file.condition != "stored") {
            ++summary_.restored;
            ++summary_.from_older_copy;
            log_.log("Restored from an older copy (%s): '%s'.", file.condition,
                     escape_for_log(file.path));
            return;
        }
        if (facts.size != static_cast<uint64_t>(file.size)) {
            report_differing(file,
                             format("it was restored with %s bytes, the index records %s bytes.",
                                    facts.size, file.size));
            return;
        }
        ++summary_.restored;
        if (facts.modified_time != file.modified_time &&
            ++summary_.other_time <= kTimeMismatchLogLimit) {
            log_.log("Restored with another modification time: '%s'.", escape_for_log(file.path));
        }
    }

    const Config& config_;
    IndexSnapshot snapshot_;
    PathFilter filter_;
    std::string target_;
    std::string run_name_;
    Logger log_{""};
    std::vector<ArchiveGroup> groups_;
    int64_t wanted_ = 0;
    RestoreSummary summary_;
};

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

bool is_run_directory_name(std::string_view name) {
    constexpr size_t kStampLength = 16; // YYYYMMDD_hhmmss_
    if (name.size() <= kStampLength) {
        return false;
    }
    for (size_t i = 0; i < kStampLength; ++i) {
        const bool separator = i == 8 || i == 15;
        if (separator ? name[i] != '_' : (name[i] < '0' || name[i] > '9')) {
            return false;
        }
    }
    const std::string_view mode = name.substr(kStampLength);
    return std::find(std::begin(kModeShortNames), std::end(kModeShortNames), mode) !=
           std::end(kModeShortNames);
}

RestoreSummary restore_files(const Config& config, const StoredFilesRequest& request,
                             const std::string& target_dir) {
    return Restore(config, request, target_dir).run();
}

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
    const auto lock = VfsDirectoryLock::try_lock(destination_path);
    if (!lock) {
        throw std::runtime_error(
            format("Another backup run is using the destination directory '%s'. Try again when "
                   "it has finished.",
                   destination));
    }
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
    const Logger job_log(dry ? std::string() : destination + "/" + std::string(kJobLogName));
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
