#pragma once
// The file scanner: walks the source tree, applies the job's select_dirs and select_files lists
// to every entry and records the selected directories and files in the index.

#include "config/file_entry.h"
#include "platform/dir_walk.h"
#include "platform/log_callback.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

class ArchiveDb;
class Config;
class FileScanner;
class ScanRecorder;

// One directory on the scan path: the end of its relative path in the path buffer, counting the
// "/" after its name. Entry 0 is the source root. (The recorder keeps the directories' row ids.)
struct DirStack {
    uint32_t end_offset = 0;
};

// The entry being scanned, as the selection lists see it. The strings are views into the
// scanner's path buffer and are valid only while the entry is handled.
class CurrentFileWrapper : public IFileEntry {
public:
    CurrentFileWrapper(const FileScanner& scanner, int64_t creation_time)
        : scanner_(scanner), creation_time_(creation_time) {}
    std::string_view name() const override;
    std::string_view path() const override;
    std::string_view parent() const override;
    bool is_directory() const override;
    // Seconds from the last modification to the scanner's creation (negative for the future).
    int64_t age() const override;
    uint64_t size() const override;

private:
    uint32_t own_end() const;
    uint32_t parent_end() const;

    const FileScanner& scanner_;
    const int64_t creation_time_;
};

struct ScanCounts {
    uint64_t files_seen = 0;
    uint64_t dirs_seen = 0;
    uint64_t files_recorded = 0;
    uint64_t dirs_recorded = 0;
    uint64_t too_long_skipped = 0; // entries whose relative path does not fit the buffers
    uint64_t excluded_dirs = 0;    // the excluded (destination) directory, when met
    WalkCounts walk;               // what the walker left out
};

class FileScanner {
public:
    static constexpr size_t kPathBufferSize = 98'301;
    static constexpr size_t kStackEntries = 16'383;
    static constexpr uint64_t kProgressInterval = 10'000;

    explicit FileScanner(ArchiveDb& db);
    virtual ~FileScanner() = default;
    FileScanner(const FileScanner&) = delete;
    FileScanner& operator=(const FileScanner&) = delete;

    // A directory that the scan neither records nor enters, such as the job's destination when
    // it lies inside the source. Compared by file identity when the scan starts, so any
    // spelling of the path works; a path that does not exist then excludes nothing.
    void set_excluded_directory(std::string_view path);

    // Walks the tree named by `source_components` (see VisitFiles) into the index.
    virtual void scan(const std::vector<std::string>& source_components, const Config& config,
                      const LogCallback& log);
    virtual bool accept_dir();
    virtual bool accept_file();
    virtual bool enter_dir(const WalkEntry& entry);
    virtual bool visit_file(const WalkEntry& entry);
    virtual bool leave_dir(const WalkEntry& entry);

    const ScanCounts& counts() const { return counts_; }
    // How many entries the scan had to leave out although they may hold data to back up,
    // so that the run can end with a failure status: one for each entry whose path was too long
    // for the scan buffers, one for each entry that could not be examined, and one for each
    // directory that could not be listed or returned to (its entries are unknown, so it stands
    // for at least one). Deliberate omissions (deselected entries, special files, loops,
    // the destination) and entries that vanished before they were examined are not counted.
    uint64_t skipped_count() const {
        return counts_.too_long_skipped + counts_.walk.unreadable_dirs +
               counts_.walk.unreadable_entries;
    }
    // The entry being handled; valid only inside the walk callbacks.

private:
    friend class CurrentFileWrapper;

    void walk(const std::vector<std::string>& source_components, const LogCallback& log);
    bool push_name(std::string_view name, bool is_directory);
    bool is_excluded(const WalkEntry& entry) const;
    void resolve_excluded_directory();
    void skip_too_long(const WalkEntry& entry);
    void check_progress();
    void log_left_out() const;
    void log(const std::string& line) const;

    ArchiveDb& db_;
    uint64_t progress_interval_ = kProgressInterval;
    uint64_t next_progress_ = kProgressInterval;
    ScanCounts counts_;
    std::unique_ptr<char[]> path_buffer_;
    // One spare entry beyond kStackEntries takes a directory refused for depth, so that its
    // leave_dir still pops exactly what its enter_dir pushed.
    std::unique_ptr<DirStack[]> stack_;
    size_t depth_ = 1;
    const WalkEntry* current_ = nullptr;
    const Config* config_ = nullptr;
    const LogCallback* log_ = nullptr;
    ScanRecorder* recorder_ = nullptr; // writes the index while scan() walks
    std::string excluded_path_;
    std::optional<FileIdentity> excluded_identity_;
    CurrentFileWrapper wrapper_;
};

} // namespace vesk
