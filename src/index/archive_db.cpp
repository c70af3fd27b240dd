#include "index/archive_db.h"

#include "masked_sql.h"
#include "platform/text_format.h"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <vector>

namespace vesk {

namespace {

// The index is used by one thread at a time (the scan lends it to its recording thread and
// takes it back when that thread has ended), so its connection skips SQLite's per-call locking;
// the index file is never opened through a symbolic link.
constexpr int32_t open_flags = sqlite::open_no_mutex | sqlite::open_no_follow;
constexpr int32_t cache_progress_interval = 10000;

// Confirmations share a transaction: one commit per confirmation would write the touched pages
// once per file and cost several times the update itself.
constexpr int32_t confirmation_batch_rows = 10000;

// A listing keeps the ids of at most this many files for the confirmations that follow it.
constexpr size_t kListedIdsKept = size_t{1} << 22;

// Rows picked out of the table (to list, or left by a scan) are visited one by one rather than
// by a pass while they are at most this many or an eighth of the rows seen.
constexpr size_t kRowsVisitedSingly = 65536;

bool few_enough_to_visit(size_t picked, size_t rows) {
    return picked <= std::max(kRowsVisitedSingly, rows / 8);
}

} // namespace

UnknownDirectory::UnknownDirectory(std::string_view dir_path)
    : std::runtime_error("Error! The dir: '" + std::string(dir_path) +
                         "' is not known to the file index.") {}

// The prepared statements, in the order they are prepared.
struct ArchiveDb::Statements {
    explicit Statements(SqliteConnection& db)
        : run(db.prepare(masked_sql::run())), archive(db.prepare(masked_sql::archive())),
          object_count(db.prepare(masked_sql::object_count())),
          object(db.prepare(masked_sql::object())), status(db.prepare(masked_sql::status())),
          cleanup(db.prepare(masked_sql::cleanup())),
          pre_listing(db.prepare(masked_sql::pre_listing())),
          dir_list(db.prepare(masked_sql::dir_list())), listing(db.prepare(masked_sql::listing())),
          confirm(db.prepare(masked_sql::confirm())), failed(db.prepare(masked_sql::failed())),
          object_find(db.prepare(masked_sql::object_find())),
          object_update(db.prepare(masked_sql::object_update())),
          run_count(db.prepare(masked_sql::run_count())), expire(db.prepare(masked_sql::expire())),
          max_object_id(db.prepare(masked_sql::max_object_id())),
          name_run(db.prepare(masked_sql::name_run())), stored(db.prepare(masked_sql::stored())),
          object_scan(db.prepare(masked_sql::object_scan())),
          pre_listing_one(db.prepare(masked_sql::pre_listing_one())),
          listing_one(db.prepare(masked_sql::listing_one())),
          failed_one(db.prepare(masked_sql::failed_one())),
          object_state(db.prepare(masked_sql::object_state())),
          confirm_listed(db.prepare(masked_sql::confirm_listed())) {}

    SqliteStatement run;
    SqliteStatement archive;
    SqliteStatement object_count;
    SqliteStatement object;
    SqliteStatement status;
    SqliteStatement cleanup;
    SqliteStatement pre_listing;
    SqliteStatement dir_list;
    SqliteStatement listing;
    SqliteStatement confirm;
    SqliteStatement failed;
    SqliteStatement object_find;
    SqliteStatement object_update;
    SqliteStatement run_count;
    SqliteStatement expire;
    SqliteStatement max_object_id;
    SqliteStatement name_run;
    SqliteStatement stored;
    SqliteStatement object_scan;
    SqliteStatement pre_listing_one;
    SqliteStatement listing_one;
    SqliteStatement failed_one;
    SqliteStatement object_state;
    SqliteStatement confirm_listed;
};

namespace {

// A scan makes several allocations per object and the index does not read SQLite's memory
// statistics, so they are turned off before the connection is the library's first use.
SqliteConnection open_index_file(const std::string& file_name) {
    sqlite::disable_memory_statistics();
    return sqlite::open(file_name, false, true, open_flags);
}

} // namespace

ArchiveDb::ArchiveDb(const std::string& file_name) : connection_(open_index_file(file_name)) {
    create_schema();
    statements_ = std::make_unique<Statements>(*connection_);
}

ArchiveDb::~ArchiveDb() {
    try {
        close();
    } catch (...) {
        // Only a failed run gets here, and its index is thrown away.
        statements_.reset();
        connection_.reset();
    }
}

void ArchiveDb::close() {
    if (connection_) {
        commit_confirmations();
    }
    // Statements first, so that closing the connection really closes the file.
    statements_.reset();
    connection_.reset();
}

void ArchiveDb::commit_confirmations() {
    if (!confirmation_batch_open_) {
        return;
    }
    confirmation_batch_open_ = false;
    confirmation_batch_rows_ = 0;
    connection().exec("COMMIT TRANSACTION;");
}

SqliteConnection& ArchiveDb::connection() {
    if (!connection_) {
        throw SqliteException(SqliteException::kMisuse, "The index database is closed.");
    }
    return *connection_;
}

ArchiveDb::Statements& ArchiveDb::statements() {
    if (!statements_) {
        throw SqliteException(SqliteException::kMisuse, "The index database is closed.");
    }
    return *statements_;
}

namespace {

// Steps a row statement to its end, handing every row to `on_row`. A callback that throws
// leaves the statement reset, so that the next call starts from the first row again.
template <typename OnRow>
void for_each_row(SqliteStatement& statement, OnRow&& on_row) {
    statement.bind_params();
    try {
        while (statement.exec_step(on_row)) {
        }
    } catch (...) {
        statement.reset();
        throw;
    }
}

} // namespace

template <typename... Values>
void ArchiveDb::run_once(SqliteStatement& statement, const Values&... values) {
    statement.bind_params(values...);
    statement.exec_step();
    statement.reset();
    last_changes_ = connection().changes();
}

void ArchiveDb::create_schema() {
    connection().exec(masked_sql::schema());
}

int64_t ArchiveDb::last_insert_rowid() {
    return connection().last_insert_rowid();
}

int64_t ArchiveDb::changes() {
    return last_changes_;
}

void ArchiveDb::begin_transaction() {
    commit_confirmations();
    connection().exec("BEGIN TRANSACTION;");
}

void ArchiveDb::commit_transaction() {
    pause_scan_stream();
    connection().exec("COMMIT TRANSACTION;");
}

void ArchiveDb::rollback_transaction() {
    pause_scan_stream();
    connection().exec("ROLLBACK TRANSACTION;");
}

int64_t ArchiveDb::add_run(std::string_view version, std::string_view command_line,
                           std::string_view job_text) {
    run_once(statements().run, version, command_line, job_text);
    return last_insert_rowid();
}

int64_t ArchiveDb::add_archive(int64_t run_id, std::string_view format_name) {
    run_once(statements().archive, run_id, format_name);
    return last_insert_rowid();
}

bool ArchiveDb::begin_scan(const LogCallback& log) {
    begin_transaction();
    SqliteStatement& max_id = statements().max_object_id;
    max_id.bind_params();
    max_id.exec(last_old_rowid_);
    max_id.reset();
    int64_t objects = 0;
    SqliteStatement& count = statements().object_count;
    count.bind_params();
    count.exec(objects);
    count.reset();
    // Every object is unknown until the scan records it again.
    recorded_.assign(static_cast<size_t>(last_old_rowid_) + 1, false);
    scan_tracked_ = true;
    pause_scan_stream(); // a scan that never ended may have left the statement stepped
    stream_ = ScanStream{};
    tally_ = ScanTally{};
    listing_rows_.clear();
    listing_rows_known_ = false;
    unrecorded_ids_.clear();
    unrecorded_ids_known_ = false;
    const std::string message =
        format("Ready for scanning. (Marked %s files as unknown).", objects);
    commit_transaction();
    log(message);
    begin_transaction();
    return true;
}

int64_t ArchiveDb::add_object(int64_t parentid, std::string_view name, uint32_t attributes,
                              int64_t size, int64_t modified_time) {
    // A rescan mostly meets known rows: an unchanged one is only read, a changed one is
    // updated in place. Either way the last inserted row id is the object's row, as callers
    // take it for the parent id of a directory's children, and the object counts as one changed
    // row for the progress check.
    Statements& statement = statements();
    listing_rows_known_ = false;
    StoredFacts found;
    // A directory that got its row in this scan had none before, so its entries are new and
    // need no lookup. The insert leaves an existing row alone; that row is then updated.
    const bool known =
        parentid <= last_old_rowid_ &&
        (next_in_stream(parentid, name, found) || find_object_and_follow(parentid, name, found));
    if (!known) {
        run_once(statement.object, parentid, name, attributes, size, modified_time);
        if (changes() == 1) {
            const int64_t id = last_insert_rowid();
            tally(id, (attributes & kIndexDirectoryBit) != 0 ? 5 : 1, size);
            return id;
        }
        find_object(parentid, name, found);
    }
    const bool first_record = found.id >= 0 && static_cast<size_t>(found.id) < recorded_.size() &&
                              !recorded_[static_cast<size_t>(found.id)];
    if (first_record) {
        recorded_[static_cast<size_t>(found.id)] = true;
    }
    const int64_t state = found.rescanned_state(attributes, size, modified_time);
    if (found.attributes == attributes && found.size == size &&
        found.modified_time == modified_time && found.state == state) {
        last_changes_ = 1;
    } else {
        run_once(statement.object_update, found.id, attributes, size, modified_time);
    }
    if (first_record) {
        tally(found.id, state, size);
    } else {
        tally_.complete = false; // recorded twice in one scan: the status pass counts instead
    }
    connection().set_last_insert_rowid(found.id);
    return found.id;
}

// The state the update statement gives the row when the object is recorded again with these
// facts (see object_update.sql).
int64_t ArchiveDb::StoredFacts::rescanned_state(uint32_t new_attributes, int64_t new_size,
                                                int64_t new_modified_time) const {
    if ((new_attributes & kIndexDirectoryBit) != 0) {
        return 5;
    }
    if ((attributes & kIndexDirectoryBit) != 0 || size != new_size ||
        modified_time != new_modified_time) {
        return 1;
    }
    const int64_t kept = state & 15;
    return kept >= 1 && kept <= 4 ? kept : 1;
}

// Counts a row the scan recorded, with the state it left the row in.
void ArchiveDb::tally(int64_t id, int64_t state, int64_t size) {
    ++tally_.count[static_cast<size_t>(state)];
    tally_.bytes[static_cast<size_t>(state)] += size;
    ++tally_.rows;
    if ((state == 1 || state == 3 || state == 4) && tally_.listing_rows_few) {
        listing_rows_.push_back(id);
        tally_.listing_rows_few = few_enough_to_visit(listing_rows_.size(), tally_.rows);
    }
}

bool ArchiveDb::find_object(int64_t parentid, std::string_view name, StoredFacts& found) {
    SqliteStatement& find = statements().object_find;
    find.bind_params(parentid, name);
    const bool known =
        find.exec(found.id, found.attributes, found.size, found.modified_time, found.state);
    find.reset();
    return known;
}

// The stream of old rows in row id order (see object_scan.sql): true when the object is the
// row the stream has reached, which is then taken.
bool ArchiveDb::next_in_stream(int64_t parentid, std::string_view name, StoredFacts& found) {
    if (!stream_row() || stream_.parentid != parentid || stream_.name != name) {
        return false;
    }
    found = stream_.facts;
    stream_.state = ScanStream::State::taken;
    stream_.from_id = found.id + 1;
    return true;
}

// Looks the object up out of the stream's order. The walk met it there because the tree changed
// (an object vanished, a directory was listed in another order) or because it was recorded by a
// later scan than its neighbours; either way the stream goes on after it, which puts it back in
// step with the walk after at most one further miss.
bool ArchiveDb::find_object_and_follow(int64_t parentid, std::string_view name,
                                       StoredFacts& found) {
    if (!find_object(parentid, name, found)) {
        return false;
    }
    pause_scan_stream();
    stream_.from_id = found.id + 1;
    stream_.state = ScanStream::State::paused;
    return true;
}

// Makes the stream's next row current; false at its end.
bool ArchiveDb::stream_row() {
    using State = ScanStream::State;
    if (stream_.state == State::current) {
        return true;
    }
    if (stream_.state == State::ended || !scan_tracked_) {
        return false;
    }
    SqliteStatement& rows = statements().object_scan;
    if (stream_.state == State::paused) {
        rows.bind_params(stream_.from_id, last_old_rowid_);
    }
    std::string_view name;
    if (!rows.exec(stream_.facts.id, stream_.parentid, name, stream_.facts.attributes,
                   stream_.facts.size, stream_.facts.modified_time, stream_.facts.state)) {
        stream_.state = State::ended;
        return false;
    }
    // A copy: the row's text is SQLite's only until the table is next written.
    stream_.name.assign(name);
    stream_.state = State::current;
    return true;
}

// Releases the stream's statement, as a transaction ends or the stream must start elsewhere; the
// stream resumes at its current row.
void ArchiveDb::pause_scan_stream() {
    using State = ScanStream::State;
    if (stream_.state == State::current) {
        stream_.from_id = stream_.facts.id;
    }
    if (stream_.state == State::current || stream_.state == State::taken) {
        statements().object_scan.reset();
    }
    if (stream_.state != State::ended) {
        stream_.state = State::paused;
    }
}

bool ArchiveDb::scan_progress(int64_t dirs, int64_t files, const LogCallback& log) {
    const std::string message =
        format("Scanning progresses. %s dirs and %s files, so far.", dirs, files);
    if (changes() == 1) {
        commit_transaction();
        log(message);
        begin_transaction();
        return true;
    }
    rollback_transaction();
    log("Failed to update scanning progress. Database is in bad state.");
    return false;
}

void ArchiveDb::end_scan(int64_t dirs, int64_t files, const LogCallback& log) {
    pause_scan_stream();
    stream_.state = ScanStream::State::ended;
    last_old_rowid_ = std::numeric_limits<int64_t>::max();
    const std::string message = format("Completed scanning. %s dirs and %s files.", dirs, files);
    commit_transaction();
    log(message);
}

namespace {

// The status label of an object state.
const char* status_label(int64_t state) {
    if ((state & 16) == 16) {
        return "Unknown";
    }
    constexpr std::array<const char*, 5> labels = {"New", "Archived", "Listed", "Failed",
                                                   "Directory"};
    return state >= 1 && state <= 5 ? labels[static_cast<size_t>(state - 1)] : "Invalid";
}

} // namespace

// The objects of one status label, listed in the order of their smallest state.
struct ArchiveDb::StatusGroup {
    const char* label;
    int64_t count = 0;
    int64_t bytes = 0;
    int64_t first_state = 0;
};

void ArchiveDb::count_in_group(std::vector<StatusGroup>& groups, int64_t state, int64_t size) {
    const char* label = status_label(state);
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& g) { return std::string_view(g.label) == label; });
    if (group == groups.end()) {
        group = groups.insert(groups.end(), {label, 0, 0, state});
    }
    ++group->count;
    group->bytes += size;
    group->first_state = std::min(group->first_state, state);
}

void ArchiveDb::log_status(const LogCallback& log) {
    log("Index status after scan:");
    std::vector<StatusGroup> groups;
    unrecorded_ids_.clear();
    listing_rows_known_ = false;
    if (!status_from_tally(groups)) {
        status_from_table(groups);
    }
    unrecorded_ids_known_ = true;
    std::sort(groups.begin(), groups.end(), [](const StatusGroup& a, const StatusGroup& b) {
        return a.first_state < b.first_state;
    });
    for (const StatusGroup& group : groups) {
        log(format(" - %s objects: %s. %s bytes: %s.", group.label, group.count, group.label,
                   group.bytes));
    }
}

// The status after a scan that recorded each of its rows once: the scan's tally, and the rows
// older than the scan that it did not record, looked up one by one. False, with nothing
// gathered, when there are too many of those to look up or the tally is incomplete.
bool ArchiveDb::status_from_tally(std::vector<StatusGroup>& groups) {
    if (!scan_tracked_ || !tally_.complete) {
        return false;
    }
    const size_t unrecorded_or_gone = static_cast<size_t>(std::count(
        recorded_.begin() + std::min<size_t>(recorded_.size(), 1), recorded_.end(), false));
    if (!few_enough_to_visit(unrecorded_or_gone, tally_.rows)) {
        return false;
    }
    size_t rows = tally_.rows;
    SqliteStatement& row = statements().object_state;
    for (size_t id = 1; id < recorded_.size(); ++id) {
        int64_t state = 0;
        int64_t size = 0;
        if (recorded_[id]) {
            continue;
        }
        row.bind_params(static_cast<int64_t>(id));
        if (!row.exec(state, size)) {
            continue; // removed before this scan
        }
        row.reset();
        unrecorded_ids_.push_back(static_cast<int64_t>(id));
        count_in_group(groups, state | 16, size);
        ++rows;
    }
    for (int64_t state = 1; state <= 5; ++state) {
        const auto at = static_cast<size_t>(state);
        if (tally_.count[at] > 0) {
            groups.push_back({status_label(state), tally_.count[at], tally_.bytes[at], state});
        }
    }
    std::sort(listing_rows_.begin(), listing_rows_.end());
    listing_rows_known_ = tally_.listing_rows_few && listing_rows_.size() <= rows / 8;
    return true;
}

// The status from a pass over every row.
void ArchiveDb::status_from_table(std::vector<StatusGroup>& groups) {
    listing_rows_.clear();
    bool collecting = true;
    size_t rows = 0;
    for_each_row(statements().status, [&](int64_t id, int64_t state, int64_t size) {
        ++rows;
        if (unrecorded(id, state)) {
            unrecorded_ids_.push_back(id);
            state |= 16;
        } else if ((state == 1 || state == 3 || state == 4) && collecting) {
            listing_rows_.push_back(id);
            // Past a small number, collecting goes on only while the rows stay few.
            collecting = few_enough_to_visit(listing_rows_.size(), rows);
        }
        count_in_group(groups, state, size);
    });
    // Row by row is cheaper than a pass over the table only for a small part of it.
    listing_rows_known_ = collecting && listing_rows_.size() <= rows / 8;
    if (!listing_rows_known_)
        std::vector<int64_t>().swap(listing_rows_);
}

bool ArchiveDb::unrecorded(int64_t id, int64_t state) const {
    if ((state & 16) == 16) {
        return true;
    }
    return scan_tracked_ && id >= 0 && static_cast<size_t>(id) < recorded_.size() &&
           !recorded_[static_cast<size_t>(id)];
}

void ArchiveDb::cleanup(const LogCallback& log) {
    if (!unrecorded_ids_known_) {
        for_each_row(statements().status, [&](int64_t id, int64_t state, int64_t) {
            if (unrecorded(id, state)) {
                unrecorded_ids_.push_back(id);
            }
        });
    }
    begin_transaction();
    int64_t removed = 0;
    for (const int64_t id : unrecorded_ids_) {
        run_once(statements().cleanup, id);
        removed += changes();
    }
    const std::string message = format("Completed database cleanup. Removed %s objects.", removed);
    commit_transaction();
    // The scan's bookkeeping ends here.
    unrecorded_ids_.clear();
    unrecorded_ids_known_ = false;
    recorded_.clear();
    recorded_.shrink_to_fit();
    scan_tracked_ = false;
    log(message);
}

int64_t ArchiveDb::prepare_listing() {
    tally_.complete = false; // rows change state outside the scan's count
    if (!listing_rows_known_) {
        run_once(statements().pre_listing);
        return changes();
    }
    return update_listing_rows(statements().pre_listing_one);
}

// Runs a one-row statement for every row a listing can deliver, in one transaction; returns
// the number of rows changed.
int64_t ArchiveDb::update_listing_rows(SqliteStatement& statement) {
    begin_transaction();
    int64_t changed = 0;
    try {
        for (const int64_t id : listing_rows_) {
            run_once(statement, id);
            changed += last_changes_;
        }
    } catch (...) {
        rollback_transaction(); // all or nothing, as the pass over the table
        throw;
    }
    commit_transaction();
    last_changes_ = changed;
    return changed;
}

void ArchiveDb::cache_dirs(const LogCallback& log) {
    log("Starting caching dirs.");
    int32_t total = 0;
    int32_t batch = 0;
    dir_by_id.clear();
    dir_by_parent_and_name.clear();
    listed_dir_id_ = -1;
    for_each_row(
        statements().dir_list, [&](int64_t fileid, int64_t parentid, std::string_view name) {
            // Parents come first; a row whose parent is not cached could only form a loop.
            const auto parent = dir_by_id.find(parentid);
            if (parentid == 0 || parent != dir_by_id.end()) {
                // Elements of the map keep their address when it grows.
                dir_by_id[fileid] =
                    CachedDir{parentid == 0 ? nullptr : &parent->second, std::string(name)};
                child_key(parentid, name, key_buffer_);
                dir_by_parent_and_name[key_buffer_] = fileid;
            }
            ++total;
            if (++batch == cache_progress_interval) {
                log(format("progress: %s entries.", total));
                batch = 0;
            }
        });
    log(format("Completed caching %s dirs.", total));
    dirs_cached_ = true; // the source root is known from now on
}

void ArchiveDb::child_key(int64_t parent, std::string_view name, std::string& key) {
    key.assign(reinterpret_cast<const char*>(&parent), sizeof parent);
    key.append(name);
}

bool ArchiveDb::cached_dir_path(int64_t id, std::string& path) {
    if (!dirs_cached_)
        return false;
    chain_buffer_.clear();
    if (id != 0) {
        const auto dir = dir_by_id.find(id);
        if (dir == dir_by_id.end())
            return false;
        for (const CachedDir* current = &dir->second; current; current = current->parent)
            chain_buffer_.push_back(current);
    }
    path.clear();
    for (auto dir = chain_buffer_.rbegin(); dir != chain_buffer_.rend(); ++dir) {
        if (dir != chain_buffer_.rbegin())
            path += '/';
        path += (*dir)->name;
    }
    return true;
}

bool ArchiveDb::cached_dir_id(std::string_view dir_path, int64_t& id) {
    id = 0;
    if (!dirs_cached_)
        return false;
    if (dir_path.empty())
        return true;
    for (;;) {
        const size_t slash = dir_path.find('/');
        child_key(id, dir_path.substr(0, slash), key_buffer_);
        const auto child = dir_by_parent_and_name.find(key_buffer_);
        if (child == dir_by_parent_and_name.end())
            return false;
        id = child->second;
        if (slash == std::string_view::npos)
            return true;
        dir_path.remove_prefix(slash + 1);
    }
}

bool ArchiveDb::listed_dir(int64_t parentid) {
    if (parentid != listed_dir_id_) {
        listed_dir_id_ = -1; // until the path is complete
        if (!cached_dir_path(parentid, listed_dir_path_))
            return false;
        listed_dir_id_ = parentid;
    }
    return true;
}

void ArchiveDb::list_objects(const ListCallback& callback) {
    listed_ids_.clear();
    next_listed_ = 0;
    follow_listing_ = true;
    reports_out_of_order_ = 0;
    const auto deliver = [&](int64_t parentid, std::string_view name, uint32_t attributes,
                             int64_t size, int64_t modified_time, int64_t id) {
        if (!listed_dir(parentid))
            return;
        if (listed_ids_.size() < kListedIdsKept)
            listed_ids_.push_back(id);
        callback(listed_dir_path_, name, attributes, size, modified_time);
    };
    if (!listing_rows_known_) {
        for_each_row(statements().listing, deliver);
        return;
    }
    SqliteStatement& row = statements().listing_one;
    for (const int64_t id : listing_rows_) {
        row.bind_params(id);
        try {
            if (row.exec_step([&](int64_t parentid, std::string_view name, uint32_t attributes,
                                  int64_t size, int64_t modified_time) {
                    deliver(parentid, name, attributes, size, modified_time, id);
                }))
                row.reset();
        } catch (...) {
            row.reset();
            throw;
        }
    }
}

bool ArchiveDb::confirm_archived(std::string_view dir_path, std::string_view name,
                                 std::string_view checksum, int64_t archive_id) {
    tally_.complete = false; // rows change state outside the scan's count
    int64_t directory_id = 0;
    if (!cached_dir_id(dir_path, directory_id)) {
        throw UnknownDirectory(dir_path);
    }
    // A transaction the caller opened is left to the caller.
    if (!confirmation_batch_open_ && !connection().in_transaction()) {
        connection().exec("BEGIN TRANSACTION;");
        confirmation_batch_open_ = true;
    }
    const bool confirmed = confirm_expected(directory_id, name, checksum, archive_id) ||
                           confirm_by_name(directory_id, name, checksum, archive_id);
    if (confirmation_batch_open_ && ++confirmation_batch_rows_ >= confirmation_batch_rows) {
        commit_confirmations();
    }
    return confirmed;
}

// Confirms the file the listing delivered after the last one confirmed, when it is the reported
// one: archivers mostly report the files in the order of their list file.
bool ArchiveDb::confirm_expected(int64_t directory_id, std::string_view name,
                                 std::string_view checksum, int64_t archive_id) {
    if (!follow_listing_ || next_listed_ >= listed_ids_.size()) {
        return false;
    }
    run_once(statements().confirm_listed, directory_id, name, checksum, archive_id,
             listed_ids_[next_listed_]);
    follow_listing_ = changes() == 1;
    if (follow_listing_) {
        ++next_listed_;
        reports_out_of_order_ = 0;
    }
    return follow_listing_;
}

// Confirms the reported file found by its directory and name. The first report out of the
// listing's order, and every 16th after it, looks the file's id up, so that the listing is
// followed again from it: after a file the archiver left out, or when a verifier reports in the
// listing's order again. The others take one update.
bool ArchiveDb::confirm_by_name(int64_t directory_id, std::string_view name,
                                std::string_view checksum, int64_t archive_id) {
    ++reports_out_of_order_;
    if (listed_ids_.empty() || (reports_out_of_order_ != 1 && reports_out_of_order_ % 16 != 0)) {
        run_once(statements().confirm, directory_id, name, checksum, archive_id);
        return changes() > 0;
    }
    StoredFacts found;
    last_changes_ = 0;
    if (!find_object(directory_id, name, found)) {
        return false;
    }
    run_once(statements().confirm_listed, directory_id, name, checksum, archive_id, found.id);
    if (changes() != 1) {
        return false;
    }
    const auto listed = std::lower_bound(listed_ids_.begin(), listed_ids_.end(), found.id);
    if (listed != listed_ids_.end() && *listed == found.id) {
        next_listed_ = static_cast<size_t>(listed - listed_ids_.begin()) + 1;
        follow_listing_ = true;
    }
    return true;
}

int64_t ArchiveDb::mark_failed() {
    tally_.complete = false; // rows change state outside the scan's count
    commit_confirmations();
    if (listing_rows_known_)
        return update_listing_rows(statements().failed_one);
    run_once(statements().failed);
    return changes();
}

int64_t ArchiveDb::run_count() {
    int64_t count = 0;
    SqliteStatement& statement = statements().run_count;
    statement.bind_params();
    while (statement.exec(count)) {
    }
    return count;
}

int64_t ArchiveDb::expire_confirmations(int64_t keep_runs) {
    tally_.complete = false; // rows change state outside the scan's count
    listing_rows_known_ = false;
    run_once(statements().expire, keep_runs);
    return changes();
}

void ArchiveDb::name_run(int64_t run_id, std::string_view directory_name) {
    run_once(statements().name_run, run_id, directory_name);
}

void ArchiveDb::list_stored(const StoredCallback& callback) {
    StoredObject object;
    for_each_row(statements().stored,
                 [&](int64_t parentid, std::string_view name, uint32_t attributes, int64_t size,
                     int64_t modified_time, std::string_view condition, int64_t archive_id,
                     int64_t run_id, std::string_view format_name, std::string_view run_name) {
                     if (!listed_dir(parentid))
                         return;
                     object.dir_path = listed_dir_path_;
                     object.name = name;
                     object.is_directory = (attributes & kIndexDirectoryBit) != 0;
                     object.size = size;
                     object.modified_time = modified_time;
                     object.condition = condition;
                     object.archive_id = archive_id;
                     object.run_id = run_id;
                     object.format_name = format_name;
                     object.run_directory = run_name;
                     callback(object);
                 });
}

} // namespace vesk
