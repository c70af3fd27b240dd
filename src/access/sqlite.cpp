#include "access/sqlite.h"

#include <sqlite3.h>

#include <utility>

namespace vesk {

namespace {

constexpr int32_t wrong_argument_count = 25;

static_assert(SqliteException::kMisuse == SQLITE_MISUSE);
static_assert(sqlite::open_no_mutex == SQLITE_OPEN_NOMUTEX);
static_assert(sqlite::open_no_follow == SQLITE_OPEN_NOFOLLOW);

std::string connection_message(sqlite3* db) {
    const char* message = db ? sqlite3_errmsg(db) : nullptr;
    return message ? std::string(message) : std::string();
}

} // namespace

// ---------------------------------------------------------------- SqliteException

SqliteException::SqliteException(int32_t code, const std::string& detail)
    : std::runtime_error(detail),
      text_("SqliteException: " + std::string(code_text(code)) + detail) {}

std::string_view SqliteException::code_text(int32_t code) {
    switch (code & 0xff) {
    case 0:
        return "Successful result. ";
    case 1:
        return "SQL error. ";
    case 2:
        return "Internal logic error in SQLite. ";
    case 3:
        return "Access permission denied. ";
    case 4:
        return "Callback routine requested an abort. ";
    case 5:
        return "The database file is locked. ";
    case 6:
        return "A table in the database is locked. ";
    case 7:
        return "A malloc() failed. ";
    case 8:
        return "Attempt to write a readonly database. ";
    case 9:
        return "Operation terminated by sqlite3_interrupt(). ";
    case 10:
        return "Some kind of disk I/O error occurred. ";
    case 11:
        return "The database disk image is malformed. ";
    case 12:
        return "NOT USED. Table or record not found. ";
    case 13:
        return "Insertion failed because database is full. ";
    case 14:
        return "Unable to open the database file. ";
    case 15:
        return "NOT USED. Database lock protocol error. ";
    case 16:
        return "Database is empty. ";
    case 17:
        return "The database schema changed. ";
    case 18:
        return "String or BLOB exceeds size limit. ";
    case 19:
        return "Abort due to constraint violation. ";
    case 20:
        return "Data type mismatch. ";
    case 21:
        return "Library used incorrectly. ";
    case 22:
        return "Uses OS features not supported on host. ";
    case 23:
        return "Authorization denied. ";
    case 24:
        return "Auxiliary database format error. ";
    case 25:
        return "Wrong number of arguments for bind(). ";
    case 26:
        return "File opened that is not a database file. ";
    case 100:
        return "sqlite3_step() has another row ready. ";
    case 101:
        return "sqlite3_step() has finished executing. ";
    default:
        return "Unknown and unsupported error occurred. ";
    }
}

// ---------------------------------------------------------------- library checks

namespace sqlite {

void check_library(int version_number, int threadsafe) {
    if (version_number < 3008000) {
        throw std::runtime_error("At least sqlite version 3.8.0 is needed");
    }
    if (threadsafe == 0) {
        throw std::runtime_error(
            "sqlite needs to be compiled with -DSQLITE_THREADSAFE=1 or better");
    }
}

void ensure_library_checked() {
    // A failed check throws out of the initializer, so it is repeated on the next use.
    static const bool checked =
        (check_library(sqlite3_libversion_number(), sqlite3_threadsafe()), true);
    (void)checked;
}

void disable_memory_statistics() noexcept {
    static const bool attempted = (sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0), true);
    (void)attempted;
}

SqliteConnection open(const std::string& file_name, bool read_only, bool create,
                      int32_t extra_flags) {
    const int32_t flags = extra_flags | (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                          (create ? SQLITE_OPEN_CREATE : 0);
    return SqliteConnection(file_name, flags);
}

} // namespace sqlite

// ---------------------------------------------------------------- SqliteConnection

SqliteConnection::SqliteConnection(const std::string& file_name, int32_t flags) {
    sqlite::ensure_library_checked();
    const int result = sqlite3_open_v2(file_name.c_str(), &db_, flags, nullptr);
    if (result != SQLITE_OK) {
        close();
        throw SqliteException(result, "");
    }
}

SqliteConnection::~SqliteConnection() {
    close();
}

SqliteConnection::SqliteConnection(SqliteConnection&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)) {}

SqliteConnection& SqliteConnection::operator=(SqliteConnection&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

void SqliteConnection::close() {
    if (db_) {
        // Statements still alive keep the connection until they are finalized.
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void SqliteConnection::exec(std::string_view sql) {
    if (!db_) {
        throw SqliteException(SQLITE_MISUSE, "The database connection is closed.");
    }
    const std::string text(sql);
    char* error = nullptr;
    const int result = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error);
    const std::string message = error ? std::string(error) : std::string();
    sqlite3_free(error);
    if (result != SQLITE_OK && result != SQLITE_ABORT) {
        throw SqliteException(result, message);
    }
}

SqliteStatement SqliteConnection::prepare(std::string_view sql) {
    if (!db_) {
        throw SqliteException(SQLITE_MISUSE, "The database connection is closed.");
    }
    return SqliteStatement(db_, sql);
}

int32_t SqliteConnection::changes() {
    return sqlite3_changes(db_);
}

int64_t SqliteConnection::last_insert_rowid() {
    return sqlite3_last_insert_rowid(db_);
}

bool SqliteConnection::in_transaction() const {
    return db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
}

void SqliteConnection::set_last_insert_rowid(int64_t rowid) {
    sqlite3_set_last_insert_rowid(db_, rowid);
}

// ---------------------------------------------------------------- SqliteStatement

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) {
    const int result =
        sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (result != SQLITE_OK) {
        const std::string message = connection_message(db);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        throw SqliteException(result, message);
    }
    if (!stmt_) {
        // Only whitespace or comments: nothing to run.
        throw SqliteException(SQLITE_MISUSE, "The SQL text holds no statement.");
    }
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(stmt_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

void SqliteStatement::throw_last_error(int code) {
    throw SqliteException(code, connection_message(sqlite3_db_handle(stmt_)));
}

int32_t SqliteStatement::parameter_count() {
    return sqlite3_bind_parameter_count(stmt_);
}

void SqliteStatement::check_parameter_count(size_t count, const char* message) {
    if (count > static_cast<size_t>(parameter_count())) {
        throw SqliteException(wrong_argument_count, message);
    }
}

void SqliteStatement::check_column_count(size_t count, const char* message) {
    if (count > static_cast<size_t>(column_count())) {
        throw SqliteException(wrong_argument_count, message);
    }
}

void SqliteStatement::check_bind(int result) {
    if (result != SQLITE_OK) {
        throw_last_error(result);
    }
}

void SqliteStatement::bind(int32_t index, std::string_view value) {
    check_bind(sqlite3_bind_text64(stmt_, index, value.empty() ? "" : value.data(), value.size(),
                                   SQLITE_TRANSIENT, SQLITE_UTF8));
}

void SqliteStatement::bind(int32_t index, uint32_t value) {
    bind(index, int64_t{value});
}

void SqliteStatement::bind(int32_t index, int64_t value) {
    check_bind(sqlite3_bind_int64(stmt_, index, value));
}

void SqliteStatement::clear_bindings() {
    sqlite3_clear_bindings(stmt_);
}

int32_t SqliteStatement::column_count() {
    return sqlite3_column_count(stmt_);
}

bool SqliteStatement::step() {
    const int result = sqlite3_step(stmt_);
    switch (result) {
    case SQLITE_ROW:
        return true;
    case SQLITE_DONE:
        reset();
        return false;
    case SQLITE_BUSY:
        // Left as it is: no busy handler and no retry.
        throw_last_error(result);
    default: {
        const std::string message = connection_message(sqlite3_db_handle(stmt_));
        reset();
        throw SqliteException(result, message);
    }
    }
}

void SqliteStatement::reset() {
    sqlite3_reset(stmt_);
}

void SqliteStatement::check_column_read() {
    // After a step the code is a row or done code; anything from 1 to 99 is a failure such as
    // an out-of-memory error while converting the value.
    const int code = sqlite3_errcode(sqlite3_db_handle(stmt_));
    if (code != SQLITE_OK && code < SQLITE_ROW) {
        throw_last_error(code);
    }
}

void SqliteStatement::column(int32_t index, std::string_view& out) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
    const int size = sqlite3_column_bytes(stmt_, index);
    out = text ? std::string_view(text, size) : std::string_view();
    check_column_read();
}

void SqliteStatement::column(int32_t index, uint32_t& out) {
    out = static_cast<uint32_t>(sqlite3_column_int64(stmt_, index));
    check_column_read();
}

void SqliteStatement::column(int32_t index, int64_t& out) {
    out = sqlite3_column_int64(stmt_, index);
    check_column_read();
}

} // namespace vesk
