// End-to-end runs of build/vesk under faults: crashes at many points, a full disk, hostile
// archivers, odd source trees and two runs of one job at once. Whatever happens, the committed
// index must be the old one or the new one, and a later run must confirm every selected file.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "support/child_process.h"
#include "support/index_query.h"
#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::ChildResult;
using testing::count_of;
using testing::read_file;
using testing::run_command;
using testing::ScratchDir;
using testing::sql_value;
using testing::write_file;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const std::string kArchivers = std::string(VESK_TEST_DATA) + "/archivers/";
const std::string kTools = std::string(VESK_SOURCE_DIR) + "/examples/tools/";

// 7-Zip reports every file it adds as "+ path" (the trees here hold no empty files).
const std::string seven_zip_format = R"(
select_format(format("7z"))
format_specification("7z", archive(executable("7z"),
    arguments("a -bb1 -spd -scsUTF-8 ""%archive%.7z"" @""%listfile%"""), workdir("%srcdir%"),
    filepattern("^\+ (.*)$", 1))))";

std::string script_format(const std::string& name, const std::string& script,
                          const std::string& extra_arguments = "") {
    return "format_specification(\"" + name + "\", archive(executable(\"sh\"), arguments(\"" +
           kArchivers + script + " \"\"%listfile%\"\" " + extra_arguments +
           "\"), filepattern(\"^\\+ (.*)$\", 1)))\n";
}

// name -> checksum of every file the index records as stored.
std::map<std::string, std::string> stored_files(const fs::path& db) {
    std::map<std::string, std::string> files;
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    const char* sql = "SELECT CAST(name AS BLOB), coalesce(checksum, '') FROM objects "
                      "WHERE attributes & 1 = 0 AND state = 2";
    if (sqlite3_prepare_v2(handle, sql, -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* name = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
            files[std::string(name, static_cast<size_t>(sqlite3_column_bytes(stmt, 0)))] =
                reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
    return files;
}

// Processes of a process group that have not ended (zombies waiting for their reaper count as
// ended).
int live_processes_in_group(pid_t group) {
    int live = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::istringstream stat(read_file(entry.path() / "stat"));
        std::string skip;
        char state = 0;
        long long process_group = 0;
        // pid (comm) state ppid pgrp; comm may hold blanks, so read from its closing ")".
        const std::string text = stat.str();
        const size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 1));
        rest >> state >> skip >> process_group;
        live += process_group == group && state != 'Z' ? 1 : 0;
    }
    return live;
}

// Kills the process groups of the processes whose command line names `text`, and waits (up to
// two seconds) until none of them runs.
void end_orphaned_archivers(const std::string& text) {
    for (int round = 0; round < 200; ++round) {
        bool found = false;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string pid = entry.path().filename().string();
            if (pid.find_first_not_of("0123456789") != std::string::npos ||
                read_file(entry.path() / "cmdline").find(text) == std::string::npos) {
                continue;
            }
            found = true;
            const pid_t group = ::getpgid(std::stoi(pid));
            if (group > 1 && group != ::getpgrp()) {
                ::kill(-group, SIGKILL);
            }
        }
        if (!found) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

size_t file_count(const fs::path& dir) {
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    return files;
}

struct TracedCall {
    long long n = 0;
    std::string op;
    long long result = 0;
    std::string path;
};

std::vector<TracedCall> read_trace(const fs::path& trace) {
    std::vector<TracedCall> calls;
    std::istringstream lines(read_file(trace));
    for (TracedCall call; lines >> call.n >> call.op >> call.result;) {
        std::getline(lines >> std::ws, call.path);
        calls.push_back(call);
    }
    return calls;
}

class FaultRun : public ::testing::Test {
protected:
    fs::path source() const { return scratch_ / "src"; }
    fs::path destination() const { return scratch_ / "dst"; }
    fs::path job() const { return scratch_ / "job.conf"; }
    fs::path job_db() const { return destination() / "backupindex.db"; }

    void write_job(const std::string& formats) {
        write_file(job(), "source_dir(\"" + source().string() + "\")\ndestination_dir(\"" +
                              destination().string() + "\")\nmode(incremental(0))\n" + formats);
    }

    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& env = {}) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{VESK_BINARY, "--cfg", job().string()}, env);
    }

    // One run to its end; whatever it left running is ended with it.
    ChildResult vesk(const std::vector<std::string>& env = {}) { return start(env)->wait(); }

    std::vector<fs::path> run_directories() const {
        return testing::sorted_subdirectories(destination());
    }

    // Run directories are named by the second; runs that follow a failed one at once must not
    // meet its directory.
    // The archiver of a killed run lives on in its own process group and may still write into
    // (or even recreate) its run directory: such archivers are ended first.
    void remove_run_directories() const {
        end_orphaned_archivers(destination().string());
        for (const fs::path& run : run_directories()) {
            fs::remove_all(run);
        }
    }

    // The committed index is whole and records every file of the source as stored.
    void expect_every_file_stored(const std::string& context) const {
        EXPECT_EQ(sql_value(job_db(), "PRAGMA integrity_check"), "ok") << context;
        const std::string files = std::to_string(file_count(source()));
        EXPECT_EQ(sql_value(job_db(), "SELECT count(*) FROM objects WHERE attributes & 1 = 0 "
                                      "AND state = 2"),
                  files)
            << context;
        EXPECT_EQ(sql_value(job_db(), "SELECT count(*) FROM objects WHERE attributes & 1 = 0"),
                  files)
            << context;
    }

    // After a failed run, the next one completes and leaves no commit file behind.
    void expect_next_run_stores_everything(const std::string& context) {
        remove_run_directories();
        const ChildResult next = vesk();
        ASSERT_EQ(next.status, 0) << context << next.out << next.err;
        expect_every_file_stored(context);
        EXPECT_FALSE(fs::exists(destination() / "backupindex.db.commit")) << context;
    }

    void make_tree(int dirs, int files_per_dir) const {
        for (int d = 0; d < dirs; ++d) {
            for (int f = 0; f < files_per_dir; ++f) {
                const std::string name = "d" + std::to_string(d) + "/f" + std::to_string(f);
                write_file(source() / (name + ".txt"), name + std::string(1 + f % 7, '.'));
            }
        }
    }

    // New, changed and deleted files, so that the next run has something to store.
    void change_tree() const {
        for (int f = 0; f < 100; ++f) {
            const std::string name = "d" + std::to_string(f % 10) + "/f" + std::to_string(f / 10);
            std::ofstream(source() / (name + ".txt"), std::ios::app) << "changed";
        }
        for (int f = 0; f < 50; ++f) {
            write_file(source() / "new" / ("n" + std::to_string(f) + ".txt"), "new file");
        }
        for (int f = 0; f < 20; ++f) {
            fs::remove(source() / "d1" / ("f" + std::to_string(90 - f) + ".txt"));
        }
    }

    // The destination as it was after the last completed run, without its run directories.
    struct Snapshot {
        std::string index;
        std::string job_log;
    };
    Snapshot snapshot() const {
        return {read_file(job_db()), read_file(destination() / "backuplog.txt")};
    }
    void restore(const Snapshot& snapshot) const {
        fs::remove_all(destination());
        write_file(job_db(), snapshot.index);
        write_file(destination() / "backuplog.txt", snapshot.job_log);
    }

    // The process id of the running slow.sh archiver (it leads its process group); 0 when it
    // did not start within five seconds.
    pid_t wait_for_slow_archiver() const {
        for (int i = 0; i < 500; ++i) {
            for (const fs::path& run :
                 fs::exists(destination()) ? run_directories() : std::vector<fs::path>{}) {
                if (fs::exists(run / "listfile.slow.lst.started")) {
                    return std::stoi(read_file(run / "listfile.slow.lst.started"));
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 0;
    }

    std::vector<std::string> fault_env(const std::vector<std::string>& settings) const {
        std::vector<std::string> env{"LD_PRELOAD=" + std::string(VESK_FAULT_PRELOAD),
                                     "FAULT_DIR=" + destination().string()};
        if (kSanitized) {
            env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
        }
        env.insert(env.end(), settings.begin(), settings.end());
        return env;
    }

    // A committed run, then a changed tree and a complete traced run from that state: the file
    // calls of the traced run are where faults are injected.
    struct TracedRun {
        Snapshot before;
        std::vector<TracedCall> calls;
        double seconds = 0;
    };
    void trace_next_run(int dirs, int files, TracedRun& run) {
        make_tree(dirs, files);
        write_job(seven_zip_format);
        ASSERT_EQ(vesk().status, 0);
        change_tree();
        run.before = snapshot();
        restore(run.before);
        const fs::path trace = scratch_ / "trace";
        const ChildResult traced = vesk(fault_env({"FAULT_TRACE=" + trace.string()}));
        ASSERT_EQ(traced.status, 0) << traced.out << traced.err;
        run.calls = read_trace(trace);
        run.seconds = traced.seconds;
    }

    ScratchDir scratch_;
};

// ---- Crashes ----

// What the run was doing at a call, for the summary.
std::string phase_of(const TracedCall& call, bool listing_started, bool listing_done) {
    if (call.path.ends_with("log.txt")) {
        return "log line";
    }
    if (call.path.ends_with(".lst")) {
        return "list file";
    }
    if (call.path.ends_with("/index.db") || call.path.ends_with("/index.db-journal")) {
        if (call.op == "copy_file_range") {
            return "index copy";
        }
        return listing_done ? "confirmations" : listing_started ? "listing" : "scan";
    }
    return "commit";
}

// Kill points from the traced calls of a complete run: every `log_stride`-th log line, every
// `stride`-th of the many index page writes and list-file lines, and every other call.
std::vector<std::pair<long long, std::string>> kill_points(const std::vector<TracedCall>& calls,
                                                           int stride, int log_stride) {
    std::vector<std::pair<long long, std::string>> points;
    bool listing_started = false;
    bool listing_done = false;
    int frequent = 0;
    int log_lines = 0;
    for (const TracedCall& call : calls) {
        const bool is_list_file = call.path.ends_with(".lst");
        listing_started = listing_started || is_list_file;
        const std::string phase = phase_of(call, listing_started, listing_done);
        listing_done = listing_done || (is_list_file && call.op == "fsync");
        const bool many = call.op == "pwrite" || (is_list_file && call.op == "write");
        const bool sampled =
            many ? frequent++ % stride == 0 : phase != "log line" || log_lines++ % log_stride == 0;
        if (sampled) {
            points.emplace_back(call.n, phase);
        }
    }
    return points;
}

TEST_F(FaultRun, KilledRunsLeaveTheOldOrTheNewIndex) {
    // A complete run with the calls traced gives the kill points.
    TracedRun traced;
    ASSERT_NO_FATAL_FAILURE(trace_next_run(kSanitized ? 10 : 20, 100, traced));
    const Snapshot& before = traced.before;
    const std::vector<TracedCall>& calls = traced.calls;
    ASSERT_GT(calls.size(), 100u);
    auto points = kill_points(calls, kSanitized ? 24 : 12, kSanitized ? 3 : 1);
    // Kills at moments no file call marks (inside the scan, while 7-Zip runs).
    for (int i = 1; i <= 8; ++i) {
        points.emplace_back(-i, "timed");
    }

    std::map<std::string, int> killed_in;
    int old_index = 0;
    int new_index = 0;
    for (const auto& [point, phase] : points) {
        const std::string context = phase + " kill point " + std::to_string(point);
        restore(before);
        ChildResult killed;
        if (point > 0) {
            killed = vesk(fault_env({"FAULT_KILL_AT=" + std::to_string(point)}));
        } else {
            auto run = start();
            std::this_thread::sleep_for(std::chrono::duration<double>(traced.seconds * -point / 9));
            run->kill();
            killed = run->wait();
        }
        if (killed.status != 128 + SIGKILL) {
            EXPECT_EQ(killed.status, 0) << context << killed.err; // the run ended before
            continue;
        }
        ++killed_in[phase];
        ASSERT_EQ(sql_value(job_db(), "PRAGMA integrity_check"), "ok") << context;
        const std::string index = read_file(job_db());
        const auto runs = run_directories();
        const bool is_old = index == before.index;
        const bool is_new = !runs.empty() && index == read_file(runs.back() / "index.db");
        EXPECT_TRUE(is_old || is_new) << context;
        old_index += is_old ? 1 : 0;
        new_index += is_new && !is_old ? 1 : 0;
        expect_next_run_stores_everything(context);
    }
    int total = 0;
    std::cout << "Kill points of " << calls.size() << " traced calls:";
    for (const auto& [phase, count] : killed_in) {
        std::cout << " " << phase << " " << count << ";";
        total += count;
    }
    std::cout << " total " << total << " (old index kept " << old_index << ", new index "
              << new_index << ")\n";
    EXPECT_GE(total, kSanitized ? 25 : 40);
    EXPECT_GT(old_index, 0);
    EXPECT_GT(new_index, 0);
}

// ---- A full disk ----

TEST_F(FaultRun, FullDiskEndsTheRunAndKeepsTheIndex) {
    TracedRun traced;
    ASSERT_NO_FATAL_FAILURE(trace_next_run(10, 40, traced));
    const Snapshot& before = traced.before;
    const std::vector<TracedCall>& calls = traced.calls;

    // The space left is what the run wrote before the chosen call (plus `extra` bytes of it).
    const auto space_before = [&](const std::function<bool(const TracedCall&)>& chosen,
                                  int skip = 0, long long extra = 0) {
        long long written = 0;
        for (const TracedCall& call : calls) {
            if (chosen(call) && skip-- == 0) {
                return written + extra;
            }
            const bool is_write =
                call.op == "write" || call.op == "pwrite" || call.op == "copy_file_range";
            written += is_write && call.result > 0 ? call.result : 0;
        }
        ADD_FAILURE() << "no such call";
        return written;
    };
    const auto on = [](const std::string& op, const std::string& suffix) {
        return [=](const TracedCall& call) { return call.op == op && call.path.ends_with(suffix); };
    };
    long long listed_lines = 0;
    long long commit_size = 0;
    bool listing_done = false;
    long long first_confirmation = -1;
    for (const TracedCall& call : calls) {
        listed_lines += call.op == "write" && call.path.ends_with(".lst") ? 1 : 0;
        commit_size += call.path.ends_with(".commit") && call.op == "copy_file_range"
                           ? std::max(call.result, 0LL)
                           : 0;
        if (listing_done && first_confirmation < 0 && call.op == "pwrite") {
            first_confirmation = call.n;
        }
        listing_done = listing_done || (call.path.ends_with(".lst") && call.op == "fsync");
    }
    struct Case {
        std::string where;
        long long space;
    };
    const std::vector<Case> cases = {
        {"job log", 0},
        {"run log", space_before(on("write", "/log.txt"))},
        {"index copy", space_before(on("copy_file_range", "/index.db"))},
        {"index during the scan", space_before(on("pwrite", "/index.db"))},
        {"list file", space_before(on("write", ".lst"), static_cast<int>(listed_lines / 2))},
        {"index during confirmations",
         space_before([&](const TracedCall& call) { return call.n == first_confirmation; })},
        {"commit copy", space_before(on("copy_file_range", ".commit"), 0, commit_size / 2)},
    };
    for (const Case& fault : cases) {
        restore(before);
        const ChildResult full = vesk(fault_env({"FAULT_SPACE=" + std::to_string(fault.space)}));
        EXPECT_EQ(full.status, 1) << fault.where << full.out;
        EXPECT_TRUE(full.err.starts_with("Error: ")) << fault.where << full.err;
        const bool says_full = full.err.find("No space left on device") != std::string::npos ||
                               full.err.find("database or disk is full") != std::string::npos;
        EXPECT_TRUE(says_full) << fault.where << full.err;
        EXPECT_EQ(read_file(job_db()), before.index) << fault.where;
        EXPECT_FALSE(fs::exists(destination() / "backupindex.db.commit")) << fault.where;
        expect_next_run_stores_everything(fault.where);
    }

    // The disk fills with the completion line of the job log: the run has committed already,
    // and the lost line is reported on the console. Half the line fits, so that a few bytes
    // more or less in earlier lines (the walk's duration in milliseconds) move nothing.
    restore(before);
    ASSERT_TRUE(calls.back().path.ends_with("backuplog.txt"));
    const long long last_line =
        space_before([&](const TracedCall& call) { return call.n == calls.back().n; }, 0,
                     calls.back().result / 2);
    const ChildResult late = vesk(fault_env({"FAULT_SPACE=" + std::to_string(last_line)}));
    EXPECT_EQ(late.status, 0) << late.err;
    EXPECT_NE(late.out.find("No space left on device"), std::string::npos) << late.out;
    EXPECT_EQ(read_file(job_db()), read_file(run_directories().back() / "index.db"));
    expect_every_file_stored("completion line");
}

// ---- Hostile archivers ----

TEST_F(FaultRun, HostileArchiversEndAndConfirmWhatTheyReported) {
    for (const char* name : {"closes.txt", "stdin.txt", "many.txt", "none.txt", "unknown.txt"}) {
        write_file(source() / name, name);
    }
    write_job(script_format("closes", "closes_stdout.sh") +
              script_format("stdin", "reads_stdin.sh") +
              script_format("many", "many_lines.sh", kSanitized ? "1000000" : "10000000") +
              script_format("unknown", "unknown_dirs.sh", "100000") +
              script_format("none", "exits_at_once.sh") +
              R"(select_format(format("closes"), format("stdin", name("stdin.txt")),
                               format("many", name("many.txt")),
                               format("none", name("none.txt")),
                               format("unknown", name("unknown.txt"))))");
    const ChildResult result = vesk();
    // Only the file of the archiver that stored nothing is left for the next run.
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_NE(result.out.find("1 files could not be backed up in this run"), std::string::npos);
    EXPECT_EQ(stored_files(job_db()),
              (std::map<std::string, std::string>{
                  {"closes.txt", ""}, {"many.txt", ""}, {"stdin.txt", ""}, {"unknown.txt", ""}}));
    EXPECT_EQ(sql_value(job_db(), "SELECT state FROM objects WHERE name = 'none.txt'"), "4");
    // Lines naming an unknown directory are logged up to a limit and counted beyond it.
    const std::string log = read_file(run_directories().back() / "log.txt");
    EXPECT_EQ(count_of(log, "Error! The dir: 'nowhere' is not known to the file index."), 100u);
    EXPECT_NE(log.find("Left out 99900 further output lines naming a directory that the file "
                       "index does not know."),
              std::string::npos);
    EXPECT_LT(log.size(), 100'000u);
    // Ten million report lines (one million in the slower sanitizer build) pass in bounded
    // memory and reasonable time. Under AddressSanitizer the peak holds its quarantine of freed
    // blocks (256 MiB) and shadow memory.
    EXPECT_LT(result.max_rss_kb, (kSanitized ? 1024 : 64) * 1024);
    EXPECT_LT(result.seconds, kSanitized ? 300 : 60);
    std::cout << (kSanitized ? "One" : "Ten") << " million report lines: " << result.seconds
              << " s, peak RSS " << result.max_rss_kb << " KiB\n";

    // An archiver that cannot be found ends the run before the scan, naming the format.
    write_job(R"j(select_format(format("x"))
        format_specification("x", archive(executable("/nonexistent/archiver"), arguments("x"),
                                          filepattern("(.*)", 1))))j");
    remove_run_directories();
    const std::string committed = read_file(job_db());
    const ChildResult missing = vesk();
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: Format 'x', archive method: the program "
                           "'/nonexistent/archiver' cannot be found or is not executable.\n");
    EXPECT_EQ(missing.out.find("Completed scanning."), std::string::npos);
    EXPECT_EQ(read_file(job_db()), committed);
}

// ---- Odd source trees ----

TEST_F(FaultRun, OddNamesAndFilesChangingBeforeTheArchiverRuns) {
    const std::string long_name = std::string(251, 'n') + ".txt";
    const std::map<std::string, std::string> stored = {
        {"back\\slash.txt", "backslash"}, {" leading blank.txt", "leading blank"},
        {"  two blanks", "two blanks"},   {long_name, "255 bytes"},
        {"sub dir/plain.txt", "plain"},   {"grow.txt", "grows"},
    };
    for (const auto& [path, content] : stored) {
        write_file(source() / path, content);
    }
    write_file(source() / "lat\xE9-not-utf8.txt", "latin-1 name");
    write_file(source() / "cr\rname.txt", "cr");
    write_file(source() / "lf\nname.txt", "lf");
    write_file(source() / "vanish.txt", "vanishes");
    const std::string tar_format =
        R"(
        select_format(format("tar"))
        format_specification("tar",
            archive(executable("sh"),
                    arguments(")" +
        kArchivers + R"(tar_after_changes.sh ""%archive%.tar"" ""%srcdir%"" ""%listfile%""")),
            verify(executable(")" +
        kTools + R"(tar-verify.sh"), arguments("""%archive%.tar"""),
                   filepattern("^([0-9a-f]{64})  (.*)$", 2, 1))))";
    write_job(tar_format);
    const ChildResult result = vesk();

    // The vanished file is listed again next run; the names with line breaks or invalid UTF-8
    // cannot be listed at all (the list file stays valid UTF-8) and are counted apart.
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_NE(result.out.find("1 files could not be backed up in this run; the next run lists"),
              std::string::npos);
    EXPECT_NE(result.out.find("3 files were left out because their names"), std::string::npos);
    const fs::path run = run_directories().back();
    const std::string log = read_file(run / "log.txt");
    EXPECT_NE(log.find("'cr\\x0Dname.txt'"), std::string::npos);
    EXPECT_NE(log.find("'lf\\x0Aname.txt'"), std::string::npos);
    EXPECT_NE(log.find("is not valid UTF-8: 'lat\\xE9-not-utf8.txt'"), std::string::npos);
    const std::string list = read_file(run / "listfile.tar.lst");
    EXPECT_EQ(count_of(list, "\r\n"), stored.size() + 1); // and vanish.txt
    EXPECT_EQ(count_of(list, "\r"), count_of(list, "\r\n"));

    // The index holds each stored file with the checksum of the bytes the archive holds.
    std::map<std::string, std::string> expected;
    for (const auto& [path, content] : stored) {
        const std::string file = (source() / path).string();
        expected[fs::path(path).filename().string()] =
            run_command({"sh", "-c", "sha256sum < \"$0\"", file}).out.substr(0, 64);
    }
    EXPECT_EQ(stored_files(job_db()), expected);
    EXPECT_EQ(read_file(source() / "grow.txt"), "grows and more");

    // A restore gives back every stored file byte for byte.
    const fs::path restored = scratch_ / "restored";
    fs::create_directories(restored);
    ASSERT_EQ(run_command({"tar", "-xf", (run / "data.tar.tar").string(), "-C", restored.string()})
                  .status,
              0);
    EXPECT_EQ(file_count(restored), stored.size());
    for (const auto& [path, content] : stored) {
        EXPECT_EQ(read_file(restored / path), read_file(source() / path)) << path;
    }

    // The next run stores the grown file again and forgets the vanished one; the names with
    // line breaks stay counted.
    remove_run_directories();
    const ChildResult next = vesk();
    EXPECT_EQ(next.status, 2) << next.err;
    EXPECT_EQ(next.out.find("could not be backed up in this run"), std::string::npos);
    EXPECT_NE(next.out.find("3 files were left out because their names"), std::string::npos);
    EXPECT_EQ(read_file(run_directories().back() / "listfile.tar.lst"), "grow.txt\r\n");
    EXPECT_EQ(sql_value(job_db(), "SELECT count(*) FROM objects WHERE name = 'vanish.txt'"), "0");
}

// ---- Interruptions ----

TEST_F(FaultRun, SignalsEndTheArchiverCommitNothingAndSayWhy) {
    write_file(source() / "a.txt", "a");
    write_job(script_format("slow", "slow.sh", "0") + "select_format(format(\"slow\"))");
    ASSERT_EQ(vesk().status, 0);
    const std::string committed = read_file(job_db());
    write_file(source() / "b.txt", "b");
    write_job(script_format("slow", "slow.sh", "30") + "select_format(format(\"slow\"))");
    const struct {
        int signal;
        const char* name;
        int count; // a second signal while the run ends must not cut the ending short
    } cases[] = {{SIGTERM, "SIGTERM", 1}, {SIGINT, "SIGINT", 1}, {SIGHUP, "SIGHUP", 2}};
    for (const auto& c : cases) {
        remove_run_directories();
        auto run = start();
        const pid_t archiver = wait_for_slow_archiver();
        ASSERT_GT(archiver, 0) << c.name;
        for (int i = 0; i < c.count; ++i) {
            ::kill(run->pid(), c.signal); // to VESK alone, as a service manager or kill(1) does
        }
        const ChildResult result = run->wait(false);
        const std::string reason =
            std::string("Error: The run was interrupted by ") + c.name + "; nothing was committed.";
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_EQ(result.err, reason + "\n");
        EXPECT_LT(result.seconds, 10) << c.name;
        // SIGKILL went to the whole group; give the kernel a moment to carry it out.
        for (int i = 0; i < 200 && live_processes_in_group(archiver) > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(live_processes_in_group(archiver), 0) << c.name;
        EXPECT_TRUE(read_file(destination() / "backuplog.txt").ends_with("] " + reason + "\r\n"));
        EXPECT_NE(read_file(run_directories().back() / "log.txt").find(reason), std::string::npos);
        EXPECT_EQ(read_file(job_db()), committed) << c.name;
    }
    remove_run_directories();
    write_job(script_format("slow", "slow.sh", "0") + "select_format(format(\"slow\"))");
    EXPECT_EQ(vesk().status, 0); // the lock went with the interrupted runs
    expect_every_file_stored("after interrupted runs");
}

// ---- Misuse of the destination ----

TEST_F(FaultRun, PlantedEntriesAreNeverFollowedAndEverythingCreatedIsPrivate) {
    write_file(source() / "a.txt", "a");
    write_job(seven_zip_format);
    const mode_t umask_before = ::umask(0);
    const ChildResult first = vesk();
    ::umask(umask_before);
    ASSERT_EQ(first.status, 0) << first.err;
    const fs::path run = run_directories().back();
    for (const fs::path& path :
         {destination(), run, run / "log.txt", run / "index.db", run / "listfile.7z.lst", job_db(),
          destination() / "backuplog.txt"}) {
        const auto expected = fs::is_directory(path)
                                  ? fs::perms::owner_all
                                  : fs::perms::owner_read | fs::perms::owner_write;
        EXPECT_EQ(fs::symlink_status(path).permissions(), expected) << path;
    }

    // Whatever is planted at the names of the destination, no write reaches another file.
    const fs::path victim = scratch_ / "victim";
    enum class Plant { Link, Directory, Fifo };
    const struct {
        const char* name;
        Plant plant;
        const char* refusal; // empty: the run completes
    } cases[] = {
        {"backupindex.db.commit", Plant::Link, ""},
        {"backupindex.db", Plant::Link, "The job index '%s' is a symbolic link, not a regular"},
        {"backupindex.db", Plant::Directory, "The job index '%s' is a directory, not a regular"},
        {"backuplog.txt", Plant::Link, "The job log '%s' is a symbolic link, not a regular"},
        {"backuplog.txt", Plant::Fifo, "The job log '%s' is a FIFO, socket or device, not a"},
    };
    const Snapshot committed = snapshot();
    for (const auto& c : cases) {
        restore(committed);
        write_file(victim, "victim");
        const fs::path planted = destination() / c.name;
        fs::remove(planted);
        if (c.plant == Plant::Link) {
            fs::create_symlink(victim, planted);
        } else if (c.plant == Plant::Directory) {
            fs::create_directory(planted);
        } else {
            ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
        }
        const ChildResult result = vesk();
        EXPECT_EQ(read_file(victim), "victim") << c.name;
        if (*c.refusal == '\0') {
            EXPECT_EQ(result.status, 0) << c.name << result.err;
            EXPECT_FALSE(fs::exists(fs::symlink_status(planted))) << c.name;
            EXPECT_EQ(fs::symlink_status(job_db()).type(), fs::file_type::regular);
            continue;
        }
        std::string refusal = c.refusal;
        refusal.replace(refusal.find("%s"), 2, planted.string());
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_EQ(result.err.find("Error: " + refusal), 0u) << c.name << result.err;
        const auto runs = run_directories(); // the planted directory aside
        EXPECT_EQ(std::count_if(runs.begin(), runs.end(), [&](auto& r) { return r != planted; }), 0)
            << c.name;
    }
}

TEST_F(FaultRun, RelativePathsAreTakenFromTheWorkingDirectory) {
    write_file(source() / "a b.txt", "a");
    write_file(job(), "source_dir(\"src\")\ndestination_dir(\"./dst\")\n" + seven_zip_format);
    const auto result = run_command({VESK_BINARY, "--cfg", "job.conf"}, scratch_.path());
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Starting backup from '" + source().string() + "' to '" +
                              destination().string() + "/"),
              std::string::npos);
    expect_every_file_stored("relative paths");
}

// ---- Two runs of one job ----

TEST_F(FaultRun, OnlyOneRunAtATimeAndNoStaleLock) {
    write_file(source() / "a.txt", "a");
    write_job(script_format("slow", "slow.sh", "3") + "select_format(format(\"slow\"))");
    auto first = start();
    auto second = start();
    for (bool both = false; !both;) {
        const bool first_ended = first->exited(); // both polled: each notes its own end
        both = second->exited() && first_ended;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const ChildResult one = first->wait();
    const ChildResult two = second->wait();
    const ChildResult& winner = one.status == 0 ? one : two;
    const ChildResult& loser = one.status == 0 ? two : one;
    EXPECT_EQ(winner.status, 0) << one.err << two.err;
    EXPECT_EQ(loser.status, 1);
    EXPECT_EQ(loser.err, "Error: Another backup run is using the destination directory '" +
                             destination().string() + "'. Try again when it has finished.\n");
    EXPECT_LT(loser.seconds, 2.5); // at once, not after the other run's three-second archiver
    EXPECT_EQ(run_directories().size(), 1u);
    EXPECT_EQ(count_of(read_file(destination() / "backuplog.txt"), "\r\n"), 2u);
    expect_every_file_stored("two runs");

    // A run killed while its archiver still works leaves no lock behind.
    write_file(source() / "b.txt", "b");
    const std::string committed = read_file(job_db());
    remove_run_directories();
    write_job(script_format("slow", "slow.sh", "30") + "select_format(format(\"slow\"))");
    auto killed = start();
    ASSERT_GT(wait_for_slow_archiver(), 0);
    killed->kill(); // the archiver keeps running
    EXPECT_EQ(killed->wait(false).status, 128 + SIGKILL);
    EXPECT_EQ(read_file(job_db()), committed);

    remove_run_directories();
    write_job(script_format("slow", "slow.sh", "0") + "select_format(format(\"slow\"))");
    const ChildResult after = vesk();
    EXPECT_EQ(after.status, 0) << after.err;
    expect_every_file_stored("after a killed run");
    killed->kill_group(); // ends the archiver left running
}

} // namespace
} // namespace vesk
