#include "backup/restore.h"

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>

#include "backup/index_snapshot.h"
#include "config/config.h"
#include "formats/recover_format.h"
#include "formats/target_format.h"
#include "platform/dir_walk.h"
#include "platform/interrupt.h"
#include "platform/logging.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

// Files restored with another modification time are named one by one up to this count.
constexpr int64_t kTimeMismatchLogLimit = 20;

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
        for (ArchiveGroup& group : groups_) {
            throw_if_interrupted();
            recover(group);
        }
        create_directories();
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
            } else if (!run_directory_usable(entry.run_directory)) {
                report_missing(entry, format("its run directory '%s' is gone.",
                                             escape_for_log(entry.run_directory)));
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

    // Whether the run directory is there, looked at once per run; a name that is not a run
    // directory's (only a damaged index could hold one) never leads out of the destination.
    bool run_directory_usable(std::string_view run_directory) {
        const auto known = run_directory_usable_.find(run_directory);
        if (known != run_directory_usable_.end()) {
            return known->second;
        }
        const bool usable = is_run_directory_name(run_directory) &&
                            VfsPath(true, run_path(run_directory)).is_directory();
        run_directory_usable_.emplace(run_directory, usable);
        return usable;
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

    // Directories come back even when they hold no file: those the archivers did not make are
    // made afterwards (private, as the index holds no modes). With path patterns only the files
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
    std::map<std::string_view, bool> run_directory_usable_;
    int64_t wanted_ = 0;
    RestoreSummary summary_;
};

} // namespace

RestoreSummary restore_files(const Config& config, const StoredFilesRequest& request,
                             const std::string& target_dir) {
    return Restore(config, request, target_dir).run();
}

} // namespace vesk
