#include "access/sqlite.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sqlite3.h>

#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

class SqliteTest : public ::testing::Test {
protected:
    SqliteConnection open_db() { return sqlite::open(db_file, false, true, 0); }

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
    EXPECT_EQ(SqliteException::code_text(SQLITE_IOERR_SHORT_READ),
              "Some kind of disk I/O error occurred. ");
    EXPECT_EQ(SqliteException::code_text(26), "File opened that is not a database file. ");
    EXPECT_EQ(SqliteException::code_text(101), "sqlite3_step() has finished executing. ");
    EXPECT_EQ(SqliteException::code_text(42), "Unknown and unsupported error occurred. ");
}

TEST(SqliteLibrary, StartUpChecksRejectOldOrUnsafeBuilds) {
    EXPECT_NO_THROW(sqlite::check_library(3008000, 1));
    try {
        sqlite::check_library(3007017, 1);
        FAIL() << "old version accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "At least sqlite version 3.8.0 is needed");
    }
    try {
        sqlite::check_library(3040000, 0);
        FAIL() << "single-threaded build accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "sqlite needs to be compiled with -DSQLITE_THREADSAFE=1 or better");
    }
}

TEST_F(SqliteTest, OpenFailureCarriesTheResultCode) {
    try {
        sqlite::open((dir / "missing" / "x.db").string(), false, true, 0);
        FAIL() << "opened a file in a missing directory";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.code(), SQLITE_CANTOPEN);
        EXPECT_STREQ(error.what(), "SqliteException: Unable to open the database file. ");
    }
    // Without the create flag a missing file is not created.
    EXPECT_THROW(sqlite::open(db_file, false, false, 0), SqliteException);
    EXPECT_FALSE(fs::exists(db_file));
}

TEST_F(SqliteTest, BindAndColumnRoundTripEveryType) {
    SqliteConnection db = open_db();
    db.exec("CREATE TABLE t (a, b, c, d, e, f, g, h);");
    SqliteStatement insert = db.prepare("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?, ?);");
    const std::string bytes("x\0\xff'%\n", 6);
    const uint32_t big_unsigned = 0xfffffff0u;
    const std::vector<unsigned char> blob{0, 1, 254, 255};
    insert.bind_params(std::string_view(bytes), int64_t{-5'000'000'000}, big_unsigned, 2.5,
                       std::span<const unsigned char>(blob), nullptr, zeroblob_t{3},
                       std::u16string_view(u"\u00e4\u20ac"));
    EXPECT_FALSE(insert.exec_step());
    EXPECT_EQ(db.changes(), 1);
    EXPECT_EQ(db.last_insert_rowid(), 1);

    SqliteStatement select = db.prepare("SELECT a, b, c, d, e, f, g, h, f FROM t;");
    std::string text;
    int64_t wide = 0;
    uint32_t narrow = 0;
    double real = 0;
    std::vector<unsigned char> blob_out;
    std::string null_text = "stale";
    std::vector<std::byte> zeros;
    std::u16string utf16;
    int32_t null_int = 7;
    ASSERT_TRUE(select.exec(text, wide, narrow, real, blob_out, null_text, zeros, utf16, null_int));
    EXPECT_EQ(text, bytes);
    EXPECT_EQ(wide, -5'000'000'000);
    EXPECT_EQ(narrow, big_unsigned);
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

TEST_F(SqliteTest, StatementsRunTheirFirstStatementAndRestartAfterDone) {
    SqliteConnection db = open_db();
    db.exec("CREATE TABLE t (x); INSERT INTO t VALUES (1), (2);");
    SqliteStatement select = db.prepare("SELECT x FROM t WHERE x > ? ORDER BY x;");
    select.bind_params(int64_t{5});
    int64_t value = 0;
    EXPECT_FALSE(select.exec(value));
    // The finished statement was reset: the next run starts again.
    select.bind_params(int64_t{0});
    std::vector<int64_t> seen;
    while (select.exec_step([&](int64_t x) { seen.push_back(x); })) {
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2}));
    while (select.exec_step([&](int64_t x) { seen.push_back(x); })) {
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 1, 2}));

    // Only the first statement of a text is prepared and run.
    SqliteStatement two = db.prepare("INSERT INTO t VALUES (3); INSERT INTO t VALUES (4);");
    EXPECT_FALSE(two.exec_step());
    SqliteStatement count = db.prepare("SELECT count(*), max(x) FROM t;");
    int64_t rows = 0, largest = 0;
    ASSERT_TRUE(count.exec(rows, largest));
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(largest, 3);
}

TEST_F(SqliteTest, UsageErrorsUseCode25AndBindOrReadNothing) {
    SqliteConnection db = open_db();
    db.exec("CREATE TABLE t (a, b); INSERT INTO t VALUES (1, 2);");
    SqliteStatement two = db.prepare("SELECT ?1, ?2;");
    two.bind_params(int64_t{1}, int64_t{2});
    try {
        two.bind_params(int64_t{1}, int64_t{2}, int64_t{3});
        FAIL() << "surplus value accepted";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.code(), 25);
        EXPECT_STREQ(error.what(), "SqliteException: Wrong number of arguments for bind(). "
                                   "Too many arguments to .bind_params()");
    }
    // The earlier bindings were cleared and nothing new was bound.
    int64_t first = -1;
    ASSERT_TRUE(two.exec(first));
    EXPECT_TRUE(two.is_null(0));
    two.reset();

    try {
        two.bind_parameters(1, 2, 3);
        FAIL() << "surplus value accepted";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.detail(), "Too many arguments supplied to .bind_parameters(...)");
    }

    SqliteStatement select = db.prepare("SELECT a, b FROM t;");
    int64_t a = -1, b = -1, c = -1;
    try {
        select.exec(a, b, c);
        FAIL() << "surplus out-parameter accepted";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.detail(), "Too many arguments supplied for .exec()");
        EXPECT_EQ(a, -1); // thrown before any column was read
    }
    select.reset();
    try {
        select.exec_step([](int64_t, int64_t, int64_t) {});
        FAIL() << "surplus callback parameter accepted";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.code(), 25);
        EXPECT_EQ(error.detail(), "Too many arguments supplied for .exec_step()");
    }
}

TEST_F(SqliteTest, FailedStepsResetAndCarryTheConnectionMessage) {
    SqliteConnection db = open_db();
    db.exec("CREATE TABLE t (x UNIQUE); INSERT INTO t VALUES (1);");
    SqliteStatement insert = db.prepare("INSERT INTO t VALUES (?);");
    insert.bind_params(int64_t{1});
    try {
        insert.exec_step();
        FAIL() << "constraint violation not reported";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.code() & 0xff, SQLITE_CONSTRAINT);
        EXPECT_EQ(std::string(error.what()), "SqliteException: Abort due to constraint violation. "
                                             "UNIQUE constraint failed: t.x");
    }
    insert.bind_params(int64_t{2});
    EXPECT_FALSE(insert.exec_step());
    EXPECT_THROW(db.prepare("SELECT nothing FROM nowhere;"), SqliteException);
}

TEST_F(SqliteTest, BusyThrowsAtOnceWithoutReset) {
    SqliteConnection writer = open_db();
    writer.exec("CREATE TABLE t (x);");
    SqliteConnection reader = open_db();
    SqliteStatement select = reader.prepare("SELECT count(*) FROM t;");
    writer.exec("BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);");
    int64_t count = -1;
    try {
        select.exec(count);
        FAIL() << "locked database read";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.code(), SQLITE_BUSY);
        EXPECT_STREQ(error.what(),
                     "SqliteException: The database file is locked. database is locked");
    }
    writer.exec("COMMIT;");
    // The statement was not reset; stepping again after a reset works.
    select.reset();
    ASSERT_TRUE(select.exec(count));
    EXPECT_EQ(count, 1);
}

TEST_F(SqliteTest, ExecRunsEveryStatementAndReportsErrors) {
    SqliteConnection db = open_db();
    db.exec("CREATE TABLE t (x, y); INSERT INTO t VALUES ('a', NULL); INSERT INTO t VALUES "
            "('b', 2);");
    int64_t count = 0;
    SqliteStatement select = db.prepare("SELECT count(*) FROM t;");
    ASSERT_TRUE(select.exec(count));
    EXPECT_EQ(count, 2);

    try {
        db.exec("CREATE TABLE t (x);");
        FAIL() << "duplicate table accepted";
    } catch (const SqliteException& error) {
        EXPECT_STREQ(error.what(), "SqliteException: SQL error. table t already exists");
    }
}

TEST_F(SqliteTest, StatementsOfAClosedConnectionFailCleanly) {
    SqliteConnection db = open_db();
    db.exec("CREATE TABLE t (x); INSERT INTO t VALUES (1);");
    SqliteStatement select = db.prepare("SELECT x FROM t;");
    db.close();
    db.close();
    EXPECT_FALSE(db.is_open());
    EXPECT_THROW(db.exec("SELECT 1;"), SqliteException);
    // The handle stays valid until its last statement is finalized, but cannot be used.
    int64_t x = 0;
    try {
        select.exec(x);
        FAIL() << "statement of a closed connection ran";
    } catch (const SqliteException& error) {
        EXPECT_EQ(error.code(), SQLITE_MISUSE);
    }
}

} // namespace
} // namespace vesk
