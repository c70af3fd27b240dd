#pragma once
// The archive index: one SQLite file with a row per directory and file of the source tree,
// per run and per archive. It decides which files a run lists and records which archive
// confirmed each file. Every SQL text it runs is held masked and unmasked only to prepare it.

#include "access/sqlite.h"
#include "platform/log_callback.h"

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vesk {

// The attribute bit of a directory's row in the index; a file's row has it clear. (The file
// system reports directories with another bit: see kAttributeDirectory.)
inline constexpr uint32_t kIndexDirectoryBit = 1;

// A confirmation named a directory that the index does not know: "Error! The dir: '<path>' is
// not known to the file index."
class UnknownDirectory : public std::runtime_error {
public:
    explicit UnknownDirectory(std::string_view dir_path);
};

class ArchiveDb {
public:
    using ListCallback =
        std::function<void(std::string_view dir_path, std::string_view name, uint32_t attributes,
                           int64_t size, int64_t modified_time)>;

    // Opens (or creates) the index file, creates the schema and prepares the statements.
    explicit ArchiveDb(const std::string& file_name);
    virtual ~ArchiveDb();
    ArchiveDb(const ArchiveDb&) = delete;
    ArchiveDb& operator=(const ArchiveDb&) = delete;

    // Finalizes the statements and closes the file; a second call does nothing.
    virtual void close();
    virtual int64_t add_run(std::string_view version, std::string_view command_line,
                            std::string_view job_text);
    virtual int64_t add_archive(int64_t run_id, std::string_view format_name);
    // Starts a scan, in which every object counts as unknown until the scan records it again,
    // and opens the scan transaction.
    virtual bool begin_scan(const LogCallback& log);
    // Records one directory (attributes kIndexDirectoryBit) or file (attributes 0); returns its
    // row id.
    virtual int64_t add_object(int64_t parentid, std::string_view name, uint32_t attributes,
                               int64_t size, int64_t modified_time);
    // Commits the scan so far; false (after a rollback) when the last statement did not change
    // exactly one row.
    virtual bool scan_progress(int64_t dirs, int64_t files, const LogCallback& log);
    virtual void end_scan(int64_t dirs, int64_t files, const LogCallback& log);
    virtual void log_status(const LogCallback& log);
    // Removes the objects the scan did not record.
    virtual void cleanup(const LogCallback& log);
    virtual int64_t prepare_listing();
    // Builds the directory path cache that the listing and the confirmations use.
    virtual void cache_dirs(const LogCallback& log);
    // Delivers the files to archive; a row whose directory is not cached is skipped.
    virtual void list_objects(const ListCallback& callback);
    // Records that `archive_id` holds the file; false when the index does not know the file.
    // Throws UnknownDirectory when the index does not know the directory.
    // Confirmations are committed in batches: every 10,000, here, before any other transaction,
    // by mark_failed and by close.
    virtual bool confirm_archived(std::string_view dir_path, std::string_view name,
                                  std::string_view checksum, int64_t archive_id);
    // Commits the confirmations recorded since the last commit.
    void commit_confirmations();
    // Marks the listed files that nobody confirmed as failed; returns their number.
    virtual int64_t mark_failed();

    // Records the name of the run's directory, where its archives and index copy lie.
    void name_run(int64_t run_id, std::string_view directory_name);

    // An object with what the index knows of its newest confirmed copy. Views are valid only
    // during the callback.
    struct StoredObject {
        std::string_view dir_path;
        std::string_view name;
        bool is_directory = false;
        int64_t size = 0;
        int64_t modified_time = 0;
        // "directory", "stored", "failed", "changed since stored" or "never stored".
        std::string_view condition;
        // The archive holding the newest confirmed copy, its run and format; 0 and empty when
        // there is no copy.
        int64_t archive_id = 0;
        int64_t run_id = 0;
        std::string_view format_name;
        // Empty when the run was recorded before runs had directory names.
        std::string_view run_directory;
    };
    using StoredCallback = std::function<void(const StoredObject&)>;
    // Delivers every object whose directory is cached (cache_dirs must have run).
    void list_stored(const StoredCallback& callback);

    // The number of run records.
    int64_t run_count();
    // Makes the next listing deliver again every archived file whose confirming archive is not
    // from one of the newest `keep_runs` runs (keep_runs <= 0: every archived file). Returns the
    // number of files affected. Survives a following scan of unchanged files.
    int64_t expire_confirmations(int64_t keep_runs);

protected:
    virtual void create_schema();
    virtual int64_t last_insert_rowid();
    virtual int64_t changes();
    virtual void begin_transaction();
    virtual void commit_transaction();
    virtual void rollback_transaction();

private:
    // Hash and equality that let the path map be searched with a string_view.
    struct PathHash {
        using is_transparent = void;
        size_t operator()(std::string_view path) const {
            return std::hash<std::string_view>{}(path);
        }
    };

    struct Statements;

    SqliteConnection& connection();
    Statements& statements();
    // Binds the values, runs the statement once and resets it.
    template <typename... Values>
    void run_once(SqliteStatement& statement, const Values&... values);

    std::optional<SqliteConnection> connection_;
    std::unique_ptr<Statements> statements_;

    // What a row holds of an object, as the scan compares it.
    struct StoredFacts {
        int64_t id = -1;
        uint32_t attributes = 0;
        int64_t size = 0;
        int64_t modified_time = 0;
        int64_t state = 0;
        // The state the row gets when the object is recorded again with these facts.
        int64_t rescanned_state(uint32_t new_attributes, int64_t new_size,
                                int64_t new_modified_time) const;
    };
    // Looks up an object's row; false when it has none.
    bool find_object(int64_t parentid, std::string_view name, StoredFacts& found);
    // The running scan's stream of the rows older than it, in row id order.
    struct ScanStream {
        // paused: the statement is idle and the stream resumes at from_id; current: the row below
        // is the statement's and not yet taken; taken: it was taken, the next step reads on.
        enum class State { paused, current, taken, ended } state = State::paused;
        int64_t from_id = 1;
        int64_t parentid = 0;
        std::string name;
        StoredFacts facts;
    };
    bool next_in_stream(int64_t parentid, std::string_view name, StoredFacts& found);
    bool find_object_and_follow(int64_t parentid, std::string_view name, StoredFacts& found);
    bool stream_row();
    void pause_scan_stream();
    ScanStream stream_;

    // True for a row the running scan has not recorded (or one marked unknown by an older scan).
    bool unrecorded(int64_t id, int64_t state) const;

    // Rows changed by the most recent statement; an unchanged object that the scan records
    // without writing counts as one changed row.
    int64_t last_changes_ = 0;
    // From the start of a scan to the cleanup after it: which rows older than the scan it has
    // recorded (by row id), and the ids of those it has not, once the status pass found them.
    bool scan_tracked_ = false;
    std::vector<bool> recorded_;
    std::vector<int64_t> unrecorded_ids_;
    bool unrecorded_ids_known_ = false;

    // What the running scan recorded, by the state it left each row in (1 to 5), so that the
    // status after it need not pass over the table. Incomplete once a row was recorded twice or
    // rows changed state otherwise.
    struct ScanTally {
        std::array<int64_t, 6> count{};
        std::array<int64_t, 6> bytes{};
        size_t rows = 0;
        bool complete = true;
        bool listing_rows_few = true; // listing_rows_ holds every recorded row to list
    };
    ScanTally tally_;
    void tally(int64_t id, int64_t state, int64_t size);

    struct StatusGroup;
    static void count_in_group(std::vector<StatusGroup>& groups, int64_t state, int64_t size);
    bool status_from_tally(std::vector<StatusGroup>& groups);
    void status_from_table(std::vector<StatusGroup>& groups);

    // The rows a listing can deliver (new, listed or failed), by id in ascending order, as the
    // status after a scan found them (from the scan's tally or the pass). While no statement can
    // have added to them, the listing passes visit just these rows, one statement each (see
    // update_listing_rows).
    std::vector<int64_t> listing_rows_;
    bool listing_rows_known_ = false;
    int64_t update_listing_rows(SqliteStatement& statement);

    // The files the newest listing delivered, by id in ascending order (the listing's order), the
    // one expected to be reported next, and whether the last report followed that order.
    std::vector<int64_t> listed_ids_;
    size_t next_listed_ = 0;
    bool follow_listing_ = true;
    uint64_t reports_out_of_order_ = 0; // confirmed by name since the last one in order
    bool confirm_expected(int64_t directory_id, std::string_view name, std::string_view checksum,
                          int64_t archive_id);
    bool confirm_by_name(int64_t directory_id, std::string_view name, std::string_view checksum,
                         int64_t archive_id);

    // The highest object row id when the running scan started: higher ids were recorded by it.
    int64_t last_old_rowid_ = std::numeric_limits<int64_t>::max();
    bool confirmation_batch_open_ = false;
    int32_t confirmation_batch_rows_ = 0;
    // The directory cache holds each directory's parent and name rather than its path, so it
    // grows with the number of directories and not with the square of the tree's depth.
    struct CachedDir {
        const CachedDir* parent = nullptr; // null for a directory in the source root
        std::string name;
    };
    // The path of a cached directory ("" for the source root); false when it is not cached.
    bool cached_dir_path(int64_t id, std::string& path);
    // The row id of the cached directory at `dir_path`; false when it is not cached.
    bool cached_dir_id(std::string_view dir_path, int64_t& id);
    // Key of a directory in dir_by_parent_and_name: the parent's id as 8 bytes, then the name.
    static void child_key(int64_t parent, std::string_view name, std::string& key);

    std::unordered_map<int64_t, CachedDir> dir_by_id;
    std::unordered_map<std::string, int64_t, PathHash, std::equal_to<>> dir_by_parent_and_name;
    bool dirs_cached_ = false;
    std::string key_buffer_;
    std::vector<const CachedDir*> chain_buffer_;
    // Puts the path of a listed row's directory into listed_dir_path_, reused for the rows of
    // the same directory; false when the directory is not cached.
    bool listed_dir(int64_t parentid);
    // The path last put together for the listing, reused for the rows of the same directory.
    int64_t listed_dir_id_ = -1;
    std::string listed_dir_path_;
};

} // namespace vesk
