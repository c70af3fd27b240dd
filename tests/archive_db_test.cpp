#include "index/archive_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sqlite3.h>

#include "support/case_file.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using testing::message_of;
using testing::read_file;
using testing::write_file;

// Runs one query on the file with a connection of its own and returns the first column.
std::string query_text(const fs::path& file, const std::string& sql) {
    SqliteConnection db = sqlite::open(file.string(), true, false, 0);
    SqliteStatement statement = db.prepare(sql);
    std::string_view value;
    EXPECT_TRUE(statement.exec(value)) << sql;
    return std::string(value);
}

class ArchiveDbTest : public ::testing::Test {
protected:
    // Every index a test leaves behind must be sound.
    void TearDown() override {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().starts_with("index")) {
                EXPECT_EQ(query_text(entry.path(), "PRAGMA integrity_check;"), "ok")
                    << entry.path();
            }
        }
    }

    LogCallback logger() {
        return [this](std::string_view line) { log.emplace_back(line); };
    }

    // The files the listing delivers, as "dir/name" (or "name" in the root), sorted.
    static Lines listed(ArchiveDb& db) {
        Lines paths;
        db.list_objects([&](std::string_view dir_path, std::string_view name, uint32_t attributes,
                            int64_t, int64_t) {
            EXPECT_EQ(attributes & 1, 0u) << "directory listed: " << name;
            paths.push_back(dir_path.empty() ? std::string(name)
                                             : std::string(dir_path) + "/" + std::string(name));
        });
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    // One run's index steps after the scan, as the task procedure takes them.
    void after_scan(ArchiveDb& db) {
        db.log_status(logger());
        db.cleanup(logger());
        db.prepare_listing();
        db.cache_dirs(logger());
    }

    // Records the same small tree: a/, a/b/, a/b/deep.txt (size 1), a/mid.txt (size 2),
    // top.txt (size 3); `mid_size` changes a/mid.txt, `with_b` drops a/b and its file. Then
    // takes the steps after the scan unless told not to.
    void scan_tree(ArchiveDb& db, int64_t mid_size = 2, bool with_b = true, bool then = true) {
        db.begin_scan(logger());
        const int64_t a = db.add_object(0, "a", 1, 0, 100);
        if (with_b) {
            db.add_object(db.add_object(a, "b", 1, 0, 100), "deep.txt", 0, 1, 100);
        }
        db.add_object(a, "mid.txt", 0, mid_size, 100);
        db.add_object(0, "top.txt", 0, 3, 100);
        db.end_scan(with_b ? 2 : 1, 3, logger());
        if (then) {
            after_scan(db);
        }
    }

    // Records `count` entries "<prefix><i>" in the root: directories for attributes 1, else files
    // of size i * 10 + 1.
    void scan_flat(ArchiveDb& db, int count, const std::string& prefix, uint32_t attributes = 0) {
        db.begin_scan(logger());
        for (int i = 0; i < count; ++i) {
            db.add_object(0, prefix + std::to_string(i), attributes, attributes ? 0 : i * 10 + 1,
                          1);
        }
        db.end_scan(attributes ? count : 0, attributes ? 0 : count, logger());
    }

    testing::ScratchDir scratch;
    const fs::path dir = scratch.path();
    const std::string db_file = dir / "index.db";
    Lines log;
};

TEST_F(ArchiveDbTest, FreshIndexRunsThroughAnEmptyScan) {
    ArchiveDb db(db_file);
    EXPECT_TRUE(db.begin_scan(logger()));
    db.end_scan(0, 0, logger());
    after_scan(db);
    EXPECT_EQ(db.prepare_listing(), 0);
    EXPECT_EQ(listed(db), Lines{});
    EXPECT_EQ(db.mark_failed(), 0);
    EXPECT_EQ(log, (Lines{"Ready for scanning. (Marked 0 files as unknown).",
                          "Completed scanning. 0 dirs and 0 files.", "Index status after scan:",
                          "Completed database cleanup. Removed 0 objects.",
                          "Starting caching dirs.", "Completed caching 0 dirs."}));
    // The root is cached even without directories.
    EXPECT_FALSE(db.confirm_archived("", "nothing", "sum", 1));
    db.close();
    db.close();
    EXPECT_THROW(db.mark_failed(), SqliteException);
}

TEST_F(ArchiveDbTest, FileStatesFollowScansListingsConfirmationsAndFailures) {
    {
        ArchiveDb db(db_file);
        const int64_t run = db.add_run("VESK 0.1.0", "vesk --cfg job.txt", "job text");
        scan_tree(db);
        EXPECT_EQ(listed(db), (Lines{"a/b/deep.txt", "a/mid.txt", "top.txt"}));
        const int64_t archive = db.add_archive(run, "zip");
        EXPECT_TRUE(db.confirm_archived("a/b", "deep.txt", "c1", archive));
        EXPECT_TRUE(db.confirm_archived("a", "mid.txt", "c2", archive));
        // Missing files and directories are not confirmed; unknown directories are errors.
        EXPECT_FALSE(db.confirm_archived("a", "missing.txt", "c", archive));
        EXPECT_FALSE(db.confirm_archived("a", "b", "c", archive));
        EXPECT_EQ(message_of([&] { db.confirm_archived("a/nowhere", "x", "c", archive); }),
                  "Error! The dir: 'a/nowhere' is not known to the file index.");
        EXPECT_EQ(db.mark_failed(), 1);
        // The retry listing delivers only the failure; it stays failed when nobody confirms it.
        EXPECT_EQ(listed(db), Lines{"top.txt"});
        db.close(); // the index holds its file exclusively while open
        EXPECT_EQ(query_text(db_file, "SELECT checksum || ':' || archive FROM objects "
                                      "WHERE name = 'mid.txt'"),
                  "c2:" + std::to_string(archive));
    }
    // The closed index is a complete file, without journal or write-ahead log.
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename(), "index.db");
    }
    log.clear();
    {
        // Second run, nothing changed: only the earlier failure is listed again.
        ArchiveDb db(db_file);
        const int64_t run = db.add_run("VESK 0.1.0", "vesk", "job");
        scan_tree(db);
        EXPECT_EQ(listed(db), Lines{"top.txt"});
        EXPECT_TRUE(db.confirm_archived("", "top.txt", "c3", db.add_archive(run, "zip")));
        EXPECT_EQ(db.mark_failed(), 0);
        EXPECT_EQ(listed(db), Lines{});
        EXPECT_EQ(log, (Lines{"Ready for scanning. (Marked 5 files as unknown).",
                              "Completed scanning. 2 dirs and 3 files.", "Index status after scan:",
                              " - Archived objects: 2. Archived bytes: 3.",
                              " - Failed objects: 1. Failed bytes: 3.",
                              " - Directory objects: 2. Directory bytes: 0.",
                              "Completed database cleanup. Removed 0 objects.",
                              "Starting caching dirs.", "Completed caching 2 dirs."}));
    }
    log.clear();
    {
        // Third run: a/mid.txt changed, a/b vanished with its file.
        ArchiveDb db(db_file);
        scan_tree(db, 20, false);
        EXPECT_EQ(listed(db), Lines{"a/mid.txt"});
        EXPECT_THROW(db.confirm_archived("a/b", "deep.txt", "x", 1), std::runtime_error);
        EXPECT_EQ(db.mark_failed(), 1);
        EXPECT_EQ(log.at(3), " - New objects: 1. New bytes: 20.");
        EXPECT_EQ(log.at(6), " - Unknown objects: 2. Unknown bytes: 1.");
        EXPECT_EQ(log.at(7), "Completed database cleanup. Removed 2 objects.");
        EXPECT_EQ(log.at(9), "Completed caching 1 dirs.");
    }
    // The failure is listed in the next run as well.
    ArchiveDb db(db_file);
    scan_tree(db, 20, false);
    EXPECT_EQ(listed(db), Lines{"a/mid.txt"});
    EXPECT_EQ(db.run_count(), 2);
}

// Entries recorded again keep their rows and ids: old directories, entries of a directory new in
// this scan (which skip the lookup), and entries that changed kind.
TEST_F(ArchiveDbTest, EntriesRecordedAgainKeepTheirRows) {
    ArchiveDb db(db_file);
    db.begin_scan(logger());
    const int64_t d = db.add_object(0, "d", 1, 0, 1);
    const int64_t child = db.add_object(d, "c.txt", 0, 5, 1);
    const int64_t x = db.add_object(0, "x", 1, 0, 1);
    db.add_object(x, "inside.txt", 0, 1, 1);
    db.add_object(0, "y", 0, 1, 1);
    db.end_scan(2, 3, logger());
    after_scan(db);
    EXPECT_TRUE(db.confirm_archived("x", "inside.txt", "s", 1));
    EXPECT_TRUE(db.confirm_archived("", "y", "s", 1));

    db.begin_scan(logger());
    db.add_object(0, "other", 1, 0, 1); // moves the last inserted id elsewhere
    EXPECT_EQ(db.add_object(0, "d", 1, 0, 2), d);
    EXPECT_TRUE(db.scan_progress(1, 0, logger())); // exactly one row changed
    EXPECT_EQ(db.add_object(d, "c.txt", 0, 5, 1), child);
    EXPECT_GT(db.add_object(d, "new.txt", 0, 1, 1), child);
    const int64_t fresh = db.add_object(0, "fresh", 1, 0, 1);
    const int64_t f = db.add_object(fresh, "f.txt", 0, 5, 1);
    EXPECT_EQ(db.add_object(fresh, "f.txt", 0, 7, 2), f);
    EXPECT_TRUE(db.scan_progress(2, 2, logger())); // exactly one row changed
    const int64_t sub = db.add_object(fresh, "sub", 1, 0, 1);
    EXPECT_EQ(db.add_object(fresh, "sub", 1, 0, 1), sub);
    EXPECT_EQ(db.add_object(sub, "g.txt", 0, 1, 1), sub + 1);
    // x is now a file and y a directory holding a file.
    EXPECT_EQ(db.add_object(0, "x", 0, 1, 1), x);
    db.add_object(db.add_object(0, "y", 1, 0, 1), "z", 0, 1, 1);
    db.end_scan(5, 6, logger());
    log.clear();
    after_scan(db);
    EXPECT_EQ(log.at(log.size() - 3), "Completed database cleanup. Removed 1 objects.");
    EXPECT_EQ(listed(db),
              (Lines{"d/c.txt", "d/new.txt", "fresh/f.txt", "fresh/sub/g.txt", "x", "y/z"}));
    db.close();
    EXPECT_EQ(query_text(db_file, "SELECT group_concat(name) FROM objects WHERE parentid = " +
                                      std::to_string(d)),
              "c.txt,new.txt");
    EXPECT_EQ(query_text(db_file, "SELECT count(*) || ' ' || max(size) FROM objects WHERE name = "
                                  "'f.txt'"),
              "1 7");
}

// One line per label, in the order of each label's smallest state, for every kind of state:
// unknown ones (bit 16, with any other bits, negative too) and invalid ones included.
TEST_F(ArchiveDbTest, StatusLinesGroupStatesByLabel) {
    const std::vector<int> states = {17, 1, 2, 5, 3, 4, 1, 0, 18, 21, -3, 7, 16, 15, -20};
    {
        ArchiveDb db(db_file);
        scan_flat(db, static_cast<int>(states.size()), "o");
    }
    std::string update;
    for (size_t i = 0; i < states.size(); ++i) {
        update += "UPDATE objects SET state = " + std::to_string(states[i]) + " WHERE name = 'o" +
                  std::to_string(i) + "';";
    }
    sqlite::open(db_file, false, false, 0).exec(update);
    ArchiveDb db(db_file);
    log.clear();
    db.log_status(logger());
    EXPECT_EQ(
        log,
        (Lines{"Index status after scan:", " - Invalid objects: 4. Invalid bytes: 454.",
               " - Unknown objects: 5. Unknown bytes: 395.", " - New objects: 2. New bytes: 72.",
               " - Archived objects: 1. Archived bytes: 21.",
               " - Listed objects: 1. Listed bytes: 41.", " - Failed objects: 1. Failed bytes: 51.",
               " - Directory objects: 1. Directory bytes: 31."}));
}

TEST_F(ArchiveDbTest, ScanProgressCommitsOrReportsTheBadState) {
    ArchiveDb db(db_file);
    db.begin_scan(logger());
    db.add_object(0, "kept", 0, 1, 1);
    EXPECT_TRUE(db.scan_progress(12, 9988, logger()));
    EXPECT_EQ(log.back(), "Scanning progresses. 12 dirs and 9988 files, so far.");
    db.add_object(0, "lost", 0, 1, 1);
    db.cache_dirs(logger());
    // A statement that changed no row is not what the scan should have run last.
    EXPECT_FALSE(db.confirm_archived("", "no such file", "x", 1));
    log.clear();
    EXPECT_FALSE(db.scan_progress(0, 20000, logger()));
    EXPECT_EQ(log, Lines{"Failed to update scanning progress. Database is in bad state."});
    // No transaction is open any more, so the closing commit fails.
    EXPECT_EQ(message_of([&] { db.end_scan(0, 2, logger()); }),
              "SqliteException: SQL error. cannot commit - no transaction is active");
    db.prepare_listing();
    EXPECT_EQ(listed(db), Lines{"kept"}); // the rolled-back object is gone
}

TEST_F(ArchiveDbTest, DirectoryCacheReportsProgressEveryTenThousandRows) {
    ArchiveDb db(db_file);
    scan_flat(db, 20001, "d", 1);
    log.clear();
    db.cache_dirs(logger());
    EXPECT_EQ(log, (Lines{"Starting caching dirs.", "progress: 10000 entries.",
                          "progress: 20000 entries.", "Completed caching 20001 dirs."}));
}

TEST_F(ArchiveDbTest, NamesRoundTripByteForByte) {
    const std::string dir_path = std::string("dir\xc0'%\n", 6) + "/in\\ner";
    const Lines names = {
        "it's \"quoted\"", "100% %s %d", "new\nline", "back\\slash", std::string("\xff\xfe\x80", 3),
        "caf\xc3\xa9",     "  spaced  "};
    ArchiveDb db(db_file);
    db.begin_scan(logger());
    const int64_t odd_dir = db.add_object(0, dir_path.substr(0, 6), 1, 0, 1);
    const int64_t inner = db.add_object(odd_dir, "in\\ner", 1, 0, 1);
    Lines expected;
    for (const std::string& name : names) {
        db.add_object(inner, name, 0, 1, 1);
        expected.push_back(dir_path + "/" + name);
    }
    db.end_scan(2, names.size(), logger());
    after_scan(db);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed(db), expected);
    for (const std::string& name : names) {
        EXPECT_TRUE(db.confirm_archived(dir_path, name, "sum", 1)) << name;
    }
    EXPECT_FALSE(db.confirm_archived(dir_path, "100% %S %d", "sum", 1));
    EXPECT_EQ(db.mark_failed(), 0);
}

TEST_F(ArchiveDbTest, ListingSkipsUncachedParentsAndRestartsAfterACallbackError) {
    ArchiveDb db(db_file);
    scan_tree(db);
    // A directory recorded after the cache was built is not known to the listing.
    db.add_object(db.add_object(0, "late", 1, 0, 1), "orphan.txt", 0, 1, 1);
    db.prepare_listing();
    int delivered = 0;
    EXPECT_THROW(
        db.list_objects([&](std::string_view, std::string_view, uint32_t, int64_t, int64_t) {
            ++delivered;
            throw std::runtime_error("list file full");
        }),
        std::runtime_error);
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(listed(db), (Lines{"a/b/deep.txt", "a/mid.txt", "top.txt"}));
}

TEST_F(ArchiveDbTest, ExpiredConfirmationsAreListedAgainAfterTheScan) {
    {
        ArchiveDb db(db_file);
        EXPECT_EQ(db.run_count(), 0);
        EXPECT_EQ(db.expire_confirmations(0), 0);
        // Three runs; each confirms one of the three files.
        for (const auto& [dir_path, name] : std::vector<std::pair<std::string, std::string>>{
                 {"a/b", "deep.txt"}, {"a", "mid.txt"}, {"", "top.txt"}}) {
            const int64_t run = db.add_run("VESK 0.1.0", "vesk", "job");
            scan_tree(db);
            db.list_objects([](std::string_view, std::string_view, uint32_t, int64_t, int64_t) {});
            EXPECT_TRUE(db.confirm_archived(dir_path, name, "sum", db.add_archive(run, "zip")));
            db.mark_failed();
        }
        EXPECT_EQ(db.run_count(), 3);
    }
    {
        ArchiveDb db(db_file);
        // The newest two runs confirmed mid.txt and top.txt; deep.txt's run is older.
        EXPECT_EQ(db.expire_confirmations(2), 1);
        scan_tree(db);
        EXPECT_EQ(listed(db), Lines{"a/b/deep.txt"});
    }
    ArchiveDb db(db_file);
    EXPECT_EQ(db.expire_confirmations(5), 0);
    scan_tree(db, 2, true, false);
    // During a scan too; the unknown mark of the scan is kept, so cleanup still works.
    EXPECT_EQ(db.expire_confirmations(-1), 2);
    after_scan(db);
    EXPECT_EQ(log.back(), "Completed caching 2 dirs.");
    EXPECT_EQ(listed(db), (Lines{"a/b/deep.txt", "a/mid.txt", "top.txt"}));
}

// Confirmations share transactions; every one of them must be in the file when it is closed,
// past whole batches too, and a part batch must not block the next scan, cleanup or vacuum.
TEST_F(ArchiveDbTest, BatchedConfirmationsAreAllInTheClosedFile) {
    constexpr int files = 25003; // two whole batches and a part
    {
        ArchiveDb db(db_file);
        scan_flat(db, files, "f");
        after_scan(db);
        for (int i = 0; i < files; ++i) {
            ASSERT_TRUE(db.confirm_archived("", "f" + std::to_string(i), "sum", 1));
        }
    }
    EXPECT_EQ(query_text(db_file, "SELECT count(*) FROM objects WHERE state = 2"),
              std::to_string(files));

    ArchiveDb db(db_file);
    db.prepare_listing();
    db.cache_dirs(logger());
    EXPECT_TRUE(db.confirm_archived("", "f7", "changed", 2));
    scan_tree(db);
    EXPECT_TRUE(db.confirm_archived("", "top.txt", "t", 3));
    db.vacuum();
    EXPECT_TRUE(db.confirm_archived("a", "mid.txt", "m", 3));
    EXPECT_EQ(db.mark_failed(), 1); // a/b/deep.txt
    db.close();
    EXPECT_EQ(query_text(db_file, "SELECT group_concat(checksum) FROM objects WHERE state = 2"),
              "m,t");
}

TEST_F(ArchiveDbTest, ForeignOrDamagedFilesFailWithTheSqliteTextAndStayUntouched) {
    const fs::path garbage = dir / "garbage.db";
    write_file(garbage, std::string(4096, 'x'));
    const fs::path foreign = dir / "foreign.db";
    sqlite::open(foreign.string(), false, true, 0).exec("CREATE TABLE objects (x);");
    const std::string foreign_bytes = read_file(foreign);
    EXPECT_EQ(message_of([&] { ArchiveDb db(garbage.string()); }),
              "SqliteException: File opened that is not a database file. file is not a database");
    EXPECT_EQ(message_of([&] { ArchiveDb db(foreign.string()); }),
              "SqliteException: Abort due to constraint violation. CHECK constraint failed: "
              "foreign_database_schema");
    EXPECT_EQ(read_file(garbage), std::string(4096, 'x'));
    EXPECT_EQ(read_file(foreign), foreign_bytes);

    // A real index cut in half.
    {
        ArchiveDb db(db_file);
        scan_flat(db, 5000, "file number ");
    }
    const std::string whole = read_file(db_file);
    write_file(dir / "truncated.db", std::string_view(whole).substr(0, whole.size() / 2));
    EXPECT_TRUE(message_of([&] {
                    ArchiveDb db((dir / "truncated.db").string());
                    scan_tree(db);
                    listed(db);
                }).starts_with("SqliteException: The database disk image is malformed. "));
}

} // namespace
} // namespace vesk
