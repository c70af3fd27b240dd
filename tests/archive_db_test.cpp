#include "index/archive_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <numeric>
#include <set>
#include <sstream>

#include "support/case_file.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::message_of;
using testing::read_file;

// Runs one query on the file with a connection of its own and returns the first column.
std::string query_text(const fs::path& file, const std::string& sql) {
    SqliteConnection db = sqlite::open(file.string(), false, false, 0);
    SqliteStatement statement = db.prepare(sql);
    std::string_view value;
    statement.exec(value);
    return std::string(value);
}

// The files the listing delivers, as "dir/name" (or "name" in the root), sorted and joined.
std::string listed(ArchiveDb& db) {
    std::vector<std::string> paths;
    db.list_objects(
        [&](std::string_view dir, std::string_view name, uint32_t attributes, int64_t, int64_t) {
            EXPECT_EQ(attributes & 1, 0u) << "directory listed: " << name;
            paths.push_back((dir.empty() ? "" : std::string(dir) + "/") + std::string(name));
        });
    std::sort(paths.begin(), paths.end());
    std::string text;
    for (const std::string& path : paths) {
        text += (text.empty() ? "" : " ") + path;
    }
    return "[" + text + "]";
}

// An index in a fresh directory driven by the commands of a case, one a line (see
// tests/data/archive_db_cases.txt); the results of the commands, one a line, are the outcome.
// Every index file left behind must be sound.
class IndexScript {
public:
    std::string run(std::string_view script) {
        std::istringstream lines{std::string(script)};
        std::string outcome;
        for (std::string line; std::getline(lines, line);) {
            const std::string result = testing::outcome_of([&] { return execute(line); });
            outcome += result.empty() ? "" : (outcome.empty() ? "" : "\n") + result;
        }
        db_.reset();
        for (const auto& entry : fs::directory_iterator(scratch_.path())) {
            EXPECT_EQ(query_text(entry.path(), "PRAGMA integrity_check;"), "ok") << entry.path();
        }
        return outcome;
    }

private:
    static std::string yes(bool value) { return value ? "yes" : "no"; }

    // PATH[=SIZE] below a recorded directory; PATH/ is a directory. Returns the row id.
    int64_t add(const std::string& entry) {
        const bool directory = entry.ends_with('/');
        const size_t size_at = entry.find('=');
        const std::string path = entry.substr(0, directory ? entry.size() - 1 : size_at);
        const size_t slash = path.rfind('/');
        const int64_t parent = slash == std::string::npos ? 0 : ids_.at(path.substr(0, slash));
        const int64_t size =
            size_at == std::string::npos ? 0 : std::stoll(entry.substr(size_at + 1));
        return ids_[path] =
                   db_->add_object(parent, path.substr(slash + 1), directory ? 1 : 0, size, 1);
    }

    std::string execute(const std::string& line) {
        std::istringstream in(line);
        std::string op, rest;
        std::vector<std::string> w;
        in >> op;
        std::getline(in >> std::ws, rest);
        std::istringstream words(rest);
        for (std::string word; words >> word;) {
            w.push_back(word == "-" ? "" : word);
        }
        const auto n = [&](size_t i) { return std::stoll(w.at(i)); };
        const LogCallback log = [this](std::string_view text) { log_ += std::string(text) + "\n"; };
        if (op == "open") { // [FILE]
            db_.reset();
            db_ =
                std::make_unique<ArchiveDb>((scratch_ / (w.empty() ? "index.db" : w[0])).string());
        } else if (op == "close") {
            db_->close();
        } else if (op == "drop") {
            db_.reset();
        } else if (op == "run") {
            return std::to_string(db_->add_run("VESK 0.1.0", "vesk", "job"));
        } else if (op == "archive") { // RUN
            return std::to_string(db_->add_archive(n(0), "zip"));
        } else if (op == "begin") {
            return yes(db_->begin_scan(log));
        } else if (op == "add") { // PATH[=SIZE]
            return std::to_string(add(w.at(0)));
        } else if (op == "end") { // DIRS FILES
            db_->end_scan(n(0), n(1), log);
        } else if (op == "tree") { // PATH[=SIZE]...: a whole scan
            db_->begin_scan(log);
            for (const std::string& entry : w) {
                add(entry);
            }
            const auto dirs =
                std::count_if(w.begin(), w.end(), [](auto& e) { return e.ends_with('/'); });
            db_->end_scan(dirs, static_cast<int64_t>(w.size()) - dirs, log);
        } else if (op == "flat") { // COUNT PREFIX [dir]: a whole scan of files of size 10i+1
            const bool dirs = w.size() > 2;
            db_->begin_scan(log);
            for (int64_t i = 0; i < n(0); ++i) {
                db_->add_object(0, w[1] + std::to_string(i), dirs ? 1 : 0, dirs ? 0 : i * 10 + 1,
                                1);
            }
            db_->end_scan(dirs ? n(0) : 0, dirs ? 0 : n(0), log);
        } else if (op == "after") { // the steps after a scan, as the task procedure takes them
            db_->log_status(log);
            db_->cleanup(log);
            db_->prepare_listing();
            db_->cache_dirs(log);
        } else if (op == "status") {
            db_->log_status(log);
        } else if (op == "prepare") {
            return std::to_string(db_->prepare_listing());
        } else if (op == "cache") {
            db_->cache_dirs(log);
        } else if (op == "progress") { // DIRS FILES
            return yes(db_->scan_progress(n(0), n(1), log));
        } else if (op == "list") {
            return listed(*db_);
        } else if (op == "list-failing") { // a listing whose callback throws
            int delivered = 0;
            return message_of([&] {
                db_->list_objects([&](auto, auto, auto, auto, auto) {
                    throw std::runtime_error(std::to_string(++delivered) + " delivered");
                });
            });
        } else if (op == "confirm") { // DIR NAME CHECKSUM ARCHIVE
            return yes(db_->confirm_archived(w.at(0), w.at(1), w.at(2), n(3)));
        } else if (op == "confirm-flat") { // COUNT PREFIX: confirms PREFIX0 ... in the root
            int64_t confirmed = 0;
            for (int64_t i = 0; i < n(0); ++i) {
                confirmed += db_->confirm_archived("", w[1] + std::to_string(i), "sum", 1) ? 1 : 0;
            }
            return std::to_string(confirmed);
        } else if (op == "failed") {
            return std::to_string(db_->mark_failed());
        } else if (op == "expire") { // KEEP_RUNS
            return std::to_string(db_->expire_confirmations(n(0)));
        } else if (op == "runs") {
            return std::to_string(db_->run_count());
        } else if (op == "log" || op == "forget") { // the lines logged since, or nothing
            std::string text = std::exchange(log_, "");
            return op == "log" ? text.substr(0, text.size() - 1) : "";
        } else if (op == "sql") { // QUERY: the first column of the first row
            return query_text(scratch_ / "index.db", rest);
        } else if (op == "files") { // the names in the index's directory
            std::set<std::string> names;
            for (const auto& entry : fs::directory_iterator(scratch_.path())) {
                names.insert(entry.path().filename().string());
            }
            return std::accumulate(names.begin(), names.end(), std::string());
        } else {
            throw std::invalid_argument("unknown command " + op);
        }
        return "";
    }

    testing::ScratchDir scratch_;
    std::unique_ptr<ArchiveDb> db_;
    std::map<std::string, int64_t> ids_;
    std::string log_;
};

TEST(ArchiveDb, Scripts) {
    testing::check_cases("archive_db_cases.txt", {{"index", [](std::string_view text) {
                                                       return IndexScript().run(text);
                                                   }}});
}

TEST(ArchiveDb, NamesRoundTripByteForByte) {
    testing::ScratchDir dir;
    const std::string dir_path = std::string("dir\xc0'%\n", 6) + "/in\\ner";
    const std::vector<std::string> names = {"it's \"quoted\"", "100% %s %d",   "new\nline",
                                            "back\\slash",     "\xff\xfe\x80", "caf\xc3\xa9",
                                            "  spaced  "};
    ArchiveDb db((dir / "index.db").string());
    const LogCallback quiet = [](std::string_view) {};
    db.begin_scan(quiet);
    const int64_t inner =
        db.add_object(db.add_object(0, dir_path.substr(0, 6), 1, 0, 1), "in\\ner", 1, 0, 1);
    std::vector<std::string> expected;
    for (const std::string& name : names) {
        db.add_object(inner, name, 0, 1, 1);
        expected.push_back(dir_path + "/" + name);
    }
    db.end_scan(2, names.size(), quiet);
    db.prepare_listing();
    db.cache_dirs(quiet);
    std::vector<std::string> delivered;
    db.list_objects([&](std::string_view dir, std::string_view name, auto, auto, auto) {
        delivered.push_back(std::string(dir) + "/" + std::string(name));
    });
    std::sort(expected.begin(), expected.end());
    std::sort(delivered.begin(), delivered.end());
    EXPECT_EQ(delivered, expected);
    for (const std::string& name : names) {
        EXPECT_TRUE(db.confirm_archived(dir_path, name, "sum", 1)) << name;
    }
    EXPECT_FALSE(db.confirm_archived(dir_path, "100% %S %d", "sum", 1));
    EXPECT_EQ(db.mark_failed(), 0);
}

TEST(ArchiveDb, ForeignOrDamagedFilesFailWithTheSqliteTextAndStayUntouched) {
    testing::ScratchDir dir;
    const fs::path garbage = dir / "garbage.db", foreign = dir / "foreign.db";
    testing::write_file(garbage, std::string(4096, 'x'));
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
    const LogCallback quiet = [](std::string_view) {};
    {
        ArchiveDb db((dir / "index.db").string());
        db.begin_scan(quiet);
        for (int i = 0; i < 5000; ++i) {
            db.add_object(0, "file number " + std::to_string(i), 0, 1, 1);
        }
        db.end_scan(0, 5000, quiet);
    }
    const std::string whole = read_file(dir / "index.db");
    testing::write_file(dir / "cut.db", std::string_view(whole).substr(0, whole.size() / 2));
    EXPECT_TRUE(message_of([&] {
                    ArchiveDb db((dir / "cut.db").string());
                    db.begin_scan(quiet);
                    db.end_scan(0, 0, quiet);
                    db.prepare_listing();
                    db.cache_dirs(quiet);
                    listed(db);
                }).starts_with("SqliteException: The database disk image is malformed. "));
}

} // namespace
} // namespace vesk
