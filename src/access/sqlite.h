#pragma once
// Thin RAII layer over SQLite's C interface: connections, prepared statements with typed
// binding and column reading, and an exception whose text is chosen by the result code.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

struct sqlite3;
struct sqlite3_stmt;

namespace vesk {

class SqliteException : public std::runtime_error {
public:
    // The result code of a library used incorrectly, such as a statement of a closed connection.
    static constexpr int32_t kMisuse = 21;

    // The base message is `detail`; what() gives the full text form.
    SqliteException(int32_t code, const std::string& detail);

    // "SqliteException: " + the text for the low 8 bits of the code + detail.
    const char* what() const noexcept override { return text_.c_str(); }

    // The text for a result code (only its low 8 bits count), ending in ". ".
    static std::string_view code_text(int32_t code);

private:
    std::string text_;
};

namespace sqlite {

// Throws when the library is older than 3.8.0 or built without thread safety.
void check_library(int version_number, int threadsafe);
// Runs check_library on the linked library once per process.
void ensure_library_checked();

// Turns off the library's memory statistics, which it keeps behind a global mutex on every
// allocation. Takes effect only before the library's first use; later the setting simply stays.
// Only the first call per process does anything.
void disable_memory_statistics() noexcept;

// Open flags for `open`'s extra_flags.
// The connection is used by one thread at a time, so SQLite's per-call locking is skipped; the
// library itself is still required to be thread-safe.
inline constexpr int32_t open_no_mutex = 0x8000;
// The file is never opened through a symbolic link.
inline constexpr int32_t open_no_follow = 0x01000000;

} // namespace sqlite

class SqliteStatement;

class SqliteConnection {
public:
    SqliteConnection(const std::string& file_name, int32_t flags);
    virtual ~SqliteConnection();
    SqliteConnection(SqliteConnection&& other) noexcept;
    SqliteConnection& operator=(SqliteConnection&& other) noexcept;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    virtual void close();
    // Runs every statement of the text.
    virtual void exec(std::string_view sql);
    // Prepares the first statement of the text; the rest is ignored.
    virtual SqliteStatement prepare(std::string_view sql);
    virtual int32_t changes();
    virtual int64_t last_insert_rowid();
    // For statements that write an existing row without inserting it.
    void set_last_insert_rowid(int64_t rowid);

    // True while a transaction is open (SQLite is not in autocommit mode).
    bool in_transaction() const;

private:
    sqlite3* db_ = nullptr;
};

namespace sqlite {

// Opens the file read only or for reading and writing, creating it when `create` is set, with
// `extra_flags` (0, or open_no_mutex and open_no_follow) added.
SqliteConnection open(const std::string& file_name, bool read_only, bool create,
                      int32_t extra_flags);

} // namespace sqlite

namespace detail {

// Parameter types of a callable (lambda, function pointer or std::function), decayed.
template <typename F>
struct callable_args : callable_args<decltype(&F::operator())> {};
template <typename R, typename... A>
struct callable_args<R (*)(A...)> {
    using types = std::tuple<std::decay_t<A>...>;
};
template <typename C, typename R, typename... A>
struct callable_args<R (C::*)(A...)> {
    using types = std::tuple<std::decay_t<A>...>;
};
template <typename C, typename R, typename... A>
struct callable_args<R (C::*)(A...) const> {
    using types = std::tuple<std::decay_t<A>...>;
};

} // namespace detail

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, std::string_view sql);
    virtual ~SqliteStatement();
    SqliteStatement(SqliteStatement&& other) noexcept;
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    virtual int32_t parameter_count();

    // The value types the index binds and reads. SQLite has no unsigned 64-bit integers.
    virtual void bind(int32_t index, std::string_view value);
    virtual void bind(int32_t index, uint32_t value);
    virtual void bind(int32_t index, int64_t value);

    virtual void clear_bindings();
    virtual int32_t column_count();

    // One step; on a row, column k is read into out[k]. False when done (the statement is reset).
    template <typename... Out>
    bool exec(Out&... out) {
        if (!step()) {
            return false;
        }
        check_column_count(sizeof...(Out), "Too many arguments supplied for .exec()");
        int32_t index = 0;
        (column(index++, out), ...);
        return true;
    }

    virtual void reset();

    virtual void column(int32_t index, uint32_t& out);
    virtual void column(int32_t index, int64_t& out);
    // A view of SQLite's buffer, valid until the next step or reset of this statement.
    void column(int32_t index, std::string_view& out);

    // Clears the bindings, then binds value k to parameter k + 1.
    template <typename... Values>
    void bind_params(const Values&... values) {
        clear_bindings();
        check_parameter_count(sizeof...(Values), "Too many arguments to .bind_params()");
        int32_t index = 1;
        (bind(index++, values), ...);
    }

    // One step without reading columns: true on a row, false when done.
    bool exec_step() { return step(); }

    // One step; on a row, reads column k as the callback's k-th parameter type, calls the
    // callback with those values and returns true. False when done.
    template <typename Callback>
    bool exec_step(Callback&& callback) {
        using Args = typename detail::callable_args<std::decay_t<Callback>>::types;
        if (!step()) {
            return false;
        }
        check_column_count(std::tuple_size_v<Args>, "Too many arguments supplied for .exec_step()");
        Args args;
        std::apply(
            [this](auto&... value) {
                int32_t index = 0;
                (column(index++, value), ...);
            },
            args);
        std::apply(callback, std::move(args));
        return true;
    }

private:
    // Steps once; true on a row. Busy throws without a reset, done resets, errors reset and throw.
    bool step();
    void check_parameter_count(size_t count, const char* message);
    void check_column_count(size_t count, const char* message);
    void check_bind(int result);
    void check_column_read();
    [[noreturn]] void throw_last_error(int code);

    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace vesk
