#include "backup/index_snapshot.h"

#include "backup/backup_mode.h"

#include <algorithm>
#include <stdexcept>

#include "backup/restore.h"
#include "config/config.h"
#include "index/archive_db.h"
#include "platform/text_format.h"

namespace vesk {

namespace {

std::string joined(std::string_view directory, std::string_view name) {
    return directory.empty() ? std::string(name) : format("%s/%s", directory, name);
}

} // namespace

std::string absolute_path(const std::string& text) {
    return VfsPath(true, VfsPath(true, text).absolute_copy()).normal_copy();
}

IndexSnapshot::IndexSnapshot(const Config& config, std::string_view run_name)
    : destination_path_(destination_of(config)), source_path_(absolute_path(config.source_dir)),
      work_dir_("vesk-restore-") {
    const std::string copy = work_dir_.path() + "/" + std::string(kRunIndexFile);
    VfsPath(true, index_path(run_name)).copy_to(VfsPath(true, copy), false);
    ArchiveDb db(copy);
    db.cache_dirs([](std::string_view) {});
    db.list_stored([this](const ArchiveDb::StoredObject& object) {
        entries_.push_back(
            StoredEntry{joined(object.dir_path, object.name), object.is_directory, object.size,
                        object.modified_time, interned(object.condition), object.archive_id,
                        interned(object.format_name), interned(object.run_directory)});
    });
    db.close();
    std::sort(entries_.begin(), entries_.end(),
              [](const StoredEntry& a, const StoredEntry& b) { return a.path < b.path; });
}

IndexSnapshot::~IndexSnapshot() = default;

std::string IndexSnapshot::destination_of(const Config& config) {
    if (config.destination_dir.empty()) {
        throw std::runtime_error("The specified destination_dir is empty.");
    }
    return absolute_path(config.destination_dir);
}

std::string_view IndexSnapshot::interned(std::string_view text) {
    return *texts_.emplace(text).first;
}

std::string IndexSnapshot::index_path(std::string_view run_name) const {
    if (run_name.empty()) {
        const std::string path = destination_path_ + "/" + std::string(kJobIndexFile);
        if (VfsPath(true, path).entry_kind() != VfsEntryKind::File) {
            throw std::runtime_error(
                format("There is no committed index '%s': nothing has been backed up to "
                       "this destination yet.",
                       path));
        }
        return path;
    }
    if (!is_run_directory_name(run_name)) {
        throw std::runtime_error(
            format("'%s' is not the name of a run directory (YYYYMMDD_hhmmss_mode).", run_name));
    }
    const std::string path = format("%s/%s/%s", destination_path_, run_name, kRunIndexFile);
    if (VfsPath(true, path).entry_kind() != VfsEntryKind::File) {
        throw std::runtime_error(
            format("The run directory '%s/%s' does not exist or holds no index copy.",
                   destination_path_, run_name));
    }
    return path;
}

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

} // namespace vesk
