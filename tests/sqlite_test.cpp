#include "access/sqlite.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sqlite3.h>

#include "support/case_file.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::message_of;

class SqliteTest : public ::testing::Test {
protected:
    // A connection to the scratch file holding table t.
    SqliteConnection open_db(const std::string& table = "CREATE TABLE IF NOT EXISTS t (x);") {
        SqliteConnection db = sqlite::open(db_file, false, true, 0);
        db.exec(table);
        return db;
    }

    testing::ScratchDir scratch;
    const fs::path dir = scratch.path();
    const std::string db_file = dir / "test.db";
};

TEST(SqliteException, TextIsPrefixCodeTextAndDetail) {
    const SqliteException surplus(25, "Too many arguments to .bind_params()");
    EXPECT_STREQ(surplus.what(), "SqliteException: Wrong number of arguments for bind(). "
                                 "Too many arguments to .bind_params()");
    EXPECT_EQ(surplus.detail(), "Too many arguments to .bind_params()");
    EXPECT_EQ(surplus.code(), 25);
    // Extended codes choose their text by the low 8 bits.
    const std::vector<std::pair<int, std::string>> texts = {
        {SQLITE_IOERR_SHORT_READ, "Some kind of disk I/O error occurred. "},
        {26, "File opened that is not a database file. "},
        {101, "sqlite3_step() has finished executing. "},
        {42, "Unknown and unsupported error occurred. "}};
    for (const auto& [code, text] : texts) {
        EXPECT_EQ(SqliteException::code_text(code), text) << code;
    }
}

TEST(SqliteLibrary, StartUpChecksRejectOldOrUnsafeBuilds) {
    EXPECT_EQ(message_of([] { sqlite::check_library(3008000, 1); }), "no error");
    EXPECT_EQ(message_of([] { sqlite::check_library(3007017, 1); }),
              "At least sqlite version 3.8.0 is needed");
    EXPECT_EQ(message_of([] { sqlite::check_library(3040000, 0); }),
              "sqlite needs to be compiled with -DSQLITE_THREADSAFE=1 or better");
}

TEST_F(SqliteTest, OpenFailureCarriesTheResultCode) {
    EXPECT_EQ(
        message_of([&] { sqlite::open((dir / "missing" / "x.db").string(), false, true, 0); }),
        "SqliteException: Unable to open the database file. ");
    // Without the create flag a missing file is not created.
    EXPECT_THROW(sqlite::open(db_file, false, false, 0), SqliteException);
    EXPECT_FALSE(fs::exists(db_file));
}

TEST_F(SqliteTest, BindAndColumnRoundTripEveryType) {
    SqliteConnection db = open_db("CREATE TABLE t (a, b, c, d, e, f, g, h);");
    SqliteStatement insert = db.prepare("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?, ?);");
    const std::string bytes("x\0\xff'%\n", 6);
    const std::vector<unsigned char> blob{0, 1, 254, 255};
    insert.bind_params(std::string_view(bytes), int64_t{-5'000'000'000}, uint32_t{0xfffffff0u}, 2.5,
                       std::span<const unsigned char>(blob), nullptr, zeroblob_t{3},
                       std::u16string_view(u"\u00e4\u20ac"));
    EXPECT_FALSE(insert.exec_step());
    EXPECT_EQ(db.changes(), 1);
    EXPECT_EQ(db.last_insert_rowid(), 1);

    SqliteStatement select = db.prepare("SELECT a, b, c, d, e, f, g, h, f FROM t;");
    std::string text, null_text = "stale";
    int64_t wide = 0;
    uint32_t narrow = 0;
    double real = 0;
    std::vector<unsigned char> blob_out;
    std::vector<std::byte> zeros;
    std::u16string utf16;
    int32_t null_int = 7;
    ASSERT_TRUE(select.exec(text, wide, narrow, real, blob_out, null_text, zeros, utf16, null_int));
    EXPECT_EQ(text, bytes);
    EXPECT_EQ(wide, -5'000'000'000);
    EXPECT_EQ(narrow, 0xfffffff0u);
    EXPECT_EQ(real, 2.5);
    EXPECT_EQ(blob_out, blob);
    EXPECT_EQ(null_text, "");
    EXPECT_EQ(zeros, std::vector<std::byte>(3));
    EXPECT_EQ(utf16, u"\u00e4\u20ac");
    EXPECT_EQ(null_int, 0);
    EXPECT_TRUE(select.is_null(5));
    type_t type{};
    select.column(0, type);
    EXPECT_EQ(static_cast<int>(type), SQLITE_TEXT);
    EXPECT_EQ(select.column_names().at(3), "d");
    EXPECT_FALSE(select.exec(text));
    EXPECT_FALSE(select.has_row());
}

// exec() runs every statement of a text, a prepared statement only the first; a finished
// statement is reset and runs again.
TEST_F(SqliteTest, StatementsRunTheirFirstStatementAndRestartAfterDone) {
    SqliteConnection db = open_db();
    db.exec("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2);");
    SqliteStatement select = db.prepare("SELECT x FROM t WHERE x > ? ORDER BY x;");
    select.bind_params(int64_t{5});
    int64_t value = 0;
    EXPECT_FALSE(select.exec(value));
    select.bind_params(int64_t{0});
    std::vector<int64_t> seen;
    for (int pass = 0; pass < 2; ++pass) {
        while (select.exec_step([&](int64_t x) { seen.push_back(x); })) {
        }
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 1, 2}));

    SqliteStatement two = db.prepare("INSERT INTO t VALUES (3); INSERT INTO t VALUES (4);");
    EXPECT_FALSE(two.exec_step());
    SqliteStatement count = db.prepare("SELECT count(*), max(x) FROM t;");
    int64_t rows = 0, largest = 0;
    ASSERT_TRUE(count.exec(rows, largest));
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(largest, 3);
    EXPECT_EQ(message_of([&] { db.exec("CREATE TABLE t (x);"); }),
              "SqliteException: SQL error. table t already exists");
}

// Surplus values or out-parameters fail with code 25 before anything is bound or read.
TEST_F(SqliteTest, UsageErrorsUseCode25AndBindOrReadNothing) {
    SqliteConnection db = open_db("CREATE TABLE t (a, b); INSERT INTO t VALUES (1, 2);");
    SqliteStatement two = db.prepare("SELECT ?1, ?2;");
    two.bind_params(int64_t{1}, int64_t{2});
    EXPECT_EQ(message_of([&] { two.bind_params(int64_t{1}, int64_t{2}, int64_t{3}); }),
              "SqliteException: Wrong number of arguments for bind(). "
              "Too many arguments to .bind_params()");
    // The earlier bindings were cleared and nothing new was bound.
    int64_t first = -1;
    ASSERT_TRUE(two.exec(first));
    EXPECT_TRUE(two.is_null(0));
    two.reset();
    const std::string prefix = "SqliteException: Wrong number of arguments for bind(). ";
    EXPECT_EQ(message_of([&] { two.bind_parameters(1, 2, 3); }),
              prefix + "Too many arguments supplied to .bind_parameters(...)");

    SqliteStatement select = db.prepare("SELECT a, b FROM t;");
    int64_t a = -1, b = -1, c = -1;
    EXPECT_EQ(message_of([&] { select.exec(a, b, c); }),
              prefix + "Too many arguments supplied for .exec()");
    EXPECT_EQ(a, -1); // thrown before any column was read
    select.reset();
    EXPECT_EQ(message_of([&] { select.exec_step([](int64_t, int64_t, int64_t) {}); }),
              prefix + "Too many arguments supplied for .exec_step()");
}

// A failed step resets the statement; a busy step does not, and throws at once.
TEST_F(SqliteTest, FailedStepsCarryTheConnectionMessage) {
    SqliteConnection db = open_db("CREATE TABLE t (x UNIQUE); INSERT INTO t VALUES (1);");
    SqliteStatement insert = db.prepare("INSERT INTO t VALUES (?);");
    insert.bind_params(int64_t{1});
    EXPECT_EQ(message_of([&] { insert.exec_step(); }),
              "SqliteException: Abort due to constraint violation. UNIQUE constraint failed: t.x");
    insert.bind_params(int64_t{2});
    EXPECT_FALSE(insert.exec_step());
    EXPECT_THROW(db.prepare("SELECT nothing FROM nowhere;"), SqliteException);

    SqliteConnection reader = open_db();
    SqliteStatement select = reader.prepare("SELECT count(*) FROM t;");
    db.exec("BEGIN EXCLUSIVE; INSERT INTO t VALUES (3);");
    int64_t count = -1;
    EXPECT_EQ(message_of([&] { select.exec(count); }),
              "SqliteException: The database file is locked. database is locked");
    db.exec("COMMIT;");
    select.reset();
    ASSERT_TRUE(select.exec(count));
    EXPECT_EQ(count, 3);
}

TEST_F(SqliteTest, StatementsOfAClosedConnectionFailCleanly) {
    SqliteConnection db = open_db("CREATE TABLE t (x); INSERT INTO t VALUES (1);");
    SqliteStatement select = db.prepare("SELECT x FROM t;");
    db.close();
    db.close();
    EXPECT_FALSE(db.is_open());
    EXPECT_THROW(db.exec("SELECT 1;"), SqliteException);
    // The handle stays valid until its last statement is finalized, but cannot be used.
    int64_t x = 0;
    EXPECT_TRUE(message_of([&] {
                    select.exec(x);
                }).starts_with("SqliteException: Library used incorrectly. "));
}

} // namespace
} // namespace vesk
