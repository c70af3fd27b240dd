#include "access/sqlite.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/case_file.h"
#include "support/run_command.h"

namespace vesk {
namespace {

using testing::message_of;
const std::string kUsage = "SqliteException: Wrong number of arguments for bind(). ";

// Exception texts and library checks (see tests/data/sqlite_cases.txt).
TEST(Sqlite, ExceptionTextsAndLibraryChecks) {
    const auto number = [](std::string_view text) { return std::stoi(std::string(text)); };
    testing::check_cases(
        "sqlite_cases.txt",
        {{"error",
          [&](auto code) { return std::string(SqliteException(number(code), "detail").what()); }},
         {"library", [&](auto text) {
              return message_of([&] {
                  sqlite::check_library(number(text), number(text.substr(text.find(' ') + 1)));
              });
          }}});
}

TEST(Sqlite, StatementsBindReadAndFail) {
    testing::ScratchDir scratch;
    const std::string file = (scratch / "test.db").string();
    EXPECT_EQ(
        message_of([&] { sqlite::open((scratch / "missing/x.db").string(), false, true, 0); }),
        "SqliteException: Unable to open the database file. ");
    EXPECT_THROW(sqlite::open(file, false, false, 0), SqliteException); // no create flag
    EXPECT_FALSE(std::filesystem::exists(file));

    // exec() runs every statement of a text, a prepared statement only the first.
    SqliteConnection db = sqlite::open(file, false, true, 0);
    db.exec("CREATE TABLE t (a UNIQUE, b, c); INSERT INTO t VALUES (0, NULL, NULL);");
    db.prepare("INSERT INTO t VALUES (1, 1, 1); INSERT INTO t VALUES (2, 2, 2);").exec();
    SqliteStatement insert = db.prepare("INSERT INTO t VALUES (?, ?, ?);");
    const std::string bytes("x\0\xff'%\n", 6);
    insert.bind_params(std::string_view(bytes), int64_t{-5'000'000'000}, uint32_t{0xfffffff0u});
    EXPECT_FALSE(insert.exec());
    EXPECT_EQ(db.changes(), 1);
    EXPECT_EQ(db.last_insert_rowid(), 3);
    // A failed step carries the connection's message; the statement runs again afterwards.
    EXPECT_EQ(message_of([&] { insert.exec(); }),
              "SqliteException: Abort due to constraint violation. UNIQUE constraint failed: t.a");
    insert.bind_params(std::string_view("y"));
    EXPECT_FALSE(insert.exec());

    // Rows in turn; a statement that is done is reset and starts again. NULL reads as 0 and "".
    SqliteStatement select = db.prepare("SELECT a, b, c FROM t WHERE rowid <> ? ORDER BY rowid;");
    select.bind_params(int64_t{2});
    std::string rows;
    for (int pass = 0; pass < 2; ++pass) {
        while (select.exec_step([&](std::string_view a, int64_t b, uint32_t c) {
            rows += std::string(a) + "," + std::to_string(b) + "," + std::to_string(c) + ";";
        })) {
        }
    }
    const std::string once = "0,0,0;" + bytes + ",-5000000000,4294967280;y,0,0;";
    EXPECT_EQ(rows, once + once);

    // Surplus out-parameters or values fail with code 25 before anything is read or bound.
    int64_t a = -1, b = -1, c = -1, d = -1;
    EXPECT_EQ(message_of([&] { select.exec(a, b, c, d); }),
              kUsage + "Too many arguments supplied for .exec()");
    EXPECT_EQ(a, -1);
    EXPECT_EQ(message_of([&] { select.exec_step([](int64_t, int64_t, int64_t, int64_t) {}); }),
              kUsage + "Too many arguments supplied for .exec_step()");
    select.reset();
    EXPECT_EQ(message_of([&] { select.bind_params(int64_t{1}, int64_t{2}); }),
              kUsage + "Too many arguments to .bind_params()");
    EXPECT_FALSE(select.exec(a)); // the failed bind cleared the old one: rowid <> NULL

    // A busy step throws at once; the reader sees the commit afterwards.
    SqliteConnection reader = sqlite::open(file, false, false, 0);
    SqliteStatement count = reader.prepare("SELECT count(*) FROM t;");
    db.exec("BEGIN EXCLUSIVE; INSERT INTO t VALUES (9, 9, 9);");
    EXPECT_EQ(message_of([&] { count.exec(a); }),
              "SqliteException: The database file is locked. database is locked");
    db.exec("COMMIT;");
    count.reset();
    ASSERT_TRUE(count.exec(a));
    EXPECT_EQ(a, 5);
    EXPECT_EQ(message_of([&] { db.exec("CREATE TABLE t (x);"); }),
              "SqliteException: SQL error. table t already exists");
    EXPECT_THROW(db.prepare("SELECT nothing FROM nowhere;"), SqliteException);

    // The statements of a closed connection fail cleanly.
    SqliteStatement late = db.prepare("SELECT a FROM t;");
    db.close();
    db.close();
    EXPECT_THROW(db.exec("SELECT 1;"), SqliteException);
    const std::string closed = message_of([&] { late.exec(a); });
    EXPECT_TRUE(closed.starts_with("SqliteException: Library used incorrectly. ")) << closed;
}

} // namespace
} // namespace vesk
