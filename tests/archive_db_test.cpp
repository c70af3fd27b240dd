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

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Runs one query on the file with a connection of its own and returns the first column.
std::string query_text(const fs::path& file, const std::string& sql) {
    SqliteConnection db = sqlite::open(utf8(file), false, true, 0);
    SqliteStatement statement = db.prepare(sql);
    std::string_view value;
    statement.exec(value);
    return std::string(value);
}

// The files the listing delivers, as "dir/name" (or "name" in the root; "DIR " before a
// directory), sorted and joined.
std::string listed(ArchiveDb& db) {
    std::multiset<std::string> paths;
    db.list_objects(
        [&](std::string_view dir, std::string_view name, uint32_t attributes, auto, auto) {
            paths.insert((attributes & 1 ? "DIR " : "") + std::string(dir) +
                         (dir.empty() ? "" : "/") + std::string(name));
        });
    return "[" +
           std::accumulate(paths.begin(), paths.end(), std::string(),
                           [](auto a, auto& b) { return a.empty() ? b : a + " " + b; }) +
           "]";
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
            if (entry.path().extension() == ".db") {
                EXPECT_EQ(query_text(entry.path(), "PRAGMA integrity_check;"), "ok");
            }
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
            w.push_back(word == "-" ? "" : testing::unescape(word));
        }
        const auto n = [&](size_t i) { return std::stoll(w.at(i)); };
        const LogCallback log = [this](std::string_view text) { log_ += std::string(text) + "\n"; };
        if (op == "open") { // [FILE]
            db_.reset();
            db_ = std::make_unique<ArchiveDb>(utf8(scratch_ / (w.empty() ? "index.db" : w[0])));
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
            int64_t dirs = 0;
            for (const std::string& entry : w) {
                dirs += entry.ends_with('/') ? 1 : 0;
                add(entry);
            }
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
        } else if (op == "junk") { // FILE: 4096 bytes that are no database
            testing::write_file(scratch_ / w.at(0), std::string(4096, 'x'));
        } else if (op == "cut") { // FILE: the first half of the closed index
            const std::string whole = read_file(scratch_ / "index.db");
            testing::write_file(scratch_ / w.at(0), whole.substr(0, whole.size() / 2));
        } else if (op == "keep" || op == "same") { // FILE: its bytes kept, or compared with them
            const std::string bytes = read_file(scratch_ / w.at(0));
            return op == "keep" ? (kept_ = bytes, "") : yes(bytes == kept_);
        } else if (op == "files") { // the names in the index's directory
            std::string names;
            for (const auto& entry : fs::directory_iterator(scratch_.path())) {
                names += entry.path().filename().string();
            }
            return names;
        } else {
            throw std::invalid_argument("unknown command " + op);
        }
        return "";
    }

    testing::ScratchDir scratch_;
    std::unique_ptr<ArchiveDb> db_;
    std::map<std::string, int64_t> ids_;
    std::string log_, kept_;
};

TEST(ArchiveDb, Scripts) {
    testing::check_cases("archive_db_cases.txt", {{"index", [](std::string_view text) {
                                                       return IndexScript().run(text);
                                                   }}});
}

} // namespace
} // namespace vesk
