// End-to-end runs of build/vesk under faults that a preloaded library injects into its file calls:
// crashes at many points and a full disk. Whatever happens, the committed index must be the old
// one or the new one, and a later run must confirm every selected file.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "support/child_process.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::read_file;
using testing::write_file;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Kills the processes whose command line names `text`, until (within two seconds) none runs:
// the archiver of a killed run lives on in its own group and may still write into (or recreate)
// its run directory.
void end_orphaned_archivers(const std::string& text) {
    for (int round = 0;
         round < 200 && testing::run_command({"pkill", "-KILL", "-f", text}).status == 0; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class FaultRun : public ::testing::Test {
protected:
    fs::path source() const { return scratch_ / "src"; }
    fs::path destination() const { return scratch_ / "dst"; }
    fs::path job_db() const { return destination() / "backupindex.db"; }

    // One run to its end (after `kill_after` seconds, killed); what it left running is ended.
    CommandResult vesk(const std::string& fault = "", double kill_after = 0) {
        std::vector<std::string> env{"LD_PRELOAD=" VESK_FAULT_PRELOAD,
                                     "FAULT_DIR=" + destination().string(), fault};
        if (kSanitized) {
            env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
        }
        testing::ChildProcess run({VESK_BINARY, "--cfg", (scratch_ / "job.conf").string()},
                                  fault.empty() ? std::vector<std::string>{} : env);
        if (kill_after > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(kill_after));
            run.kill();
        }
        return run.wait();
    }

    std::vector<fs::path> runs() const { return testing::sorted_subdirectories(destination()); }

    std::string sql(const std::string& query) const { // not through VESK's own access layer
        return testing::run_command({"sqlite3", "-readonly", job_db().string(), query}).out;
    }

    // The committed index is whole and records every file of the source as stored.
    void expect_every_file_stored(const std::string& context) const {
        const auto files =
            std::ranges::count_if(fs::recursive_directory_iterator(source()),
                                  [](const auto& entry) { return entry.is_regular_file(); });
        EXPECT_EQ(sql("PRAGMA integrity_check"), "ok\n") << context;
        EXPECT_EQ(sql("SELECT count(*), sum(state = 2) FROM objects WHERE attributes & 1 = 0"),
                  std::to_string(files) + "|" + std::to_string(files) + "\n")
            << context;
    }

    // After a failed run, the next one completes and leaves no commit file behind. Run
    // directories are named by the second: the failed run's must not be met.
    void expect_next_run_stores_everything(const std::string& context) {
        end_orphaned_archivers(destination().string());
        for (const fs::path& run : runs()) {
            fs::remove_all(run);
        }
        const CommandResult next = vesk();
        ASSERT_EQ(next.status, 0) << context << next.out << next.err;
        EXPECT_FALSE(fs::exists(destination() / "backupindex.db.commit")) << context;
        expect_every_file_stored(context);
    }

    // The destination as it was after the last completed run, without its run directories.
    void restore() const {
        fs::remove_all(destination());
        write_file(job_db(), before_index_);
        write_file(destination() / "backuplog.txt", before_log_);
    }

    // A committed run, then a changed tree (new, changed and deleted files) and a complete traced
    // run from that state: the file calls of the traced run ("<n> <op> <result> <path>" lines)
    // are where faults are injected.
    void SetUp() override {
        for (int d = 0; d < (kSanitized ? 10 : 20); ++d) {
            for (int f = 0; f < 100; ++f) {
                const std::string name = "d" + std::to_string(d) + "/f" + std::to_string(f);
                write_file(source() / (name + ".txt"), name + std::string(1 + f % 7, '.'));
            }
        }
        // 7-Zip reports every file it adds as "+ path" (the tree holds no empty files).
        write_file(scratch_ / "job.conf", "source_dir(\"" + source().string() +
                                              "\")\ndestination_dir(\"" + destination().string() +
                                              "\")\nmode(incremental(0))\n" + R"(
            select_format(format("7z"))
            format_specification("7z", archive(executable("7z"),
                arguments("a -bb1 -spd -scsUTF-8 ""%archive%.7z"" @""%listfile%"""),
                workdir("%srcdir%"), filepattern("^\+ (.*)$", 1))))");
        ASSERT_EQ(vesk().status, 0);
        for (int f = 0; f < 100; ++f) {
            const std::string name = "d" + std::to_string(f % 10) + "/f" + std::to_string(f / 10);
            std::ofstream(source() / (name + ".txt"), std::ios::app) << "changed";
            write_file(source() / "new" / ("n" + std::to_string(f / 2) + ".txt"), "new file");
            fs::remove(source() / "d1" / ("f" + std::to_string(99 - f / 5) + ".txt"));
        }
        before_index_ = read_file(job_db());
        before_log_ = read_file(destination() / "backuplog.txt");
        restore();
        const CommandResult traced = vesk("FAULT_TRACE=" + (scratch_ / "trace").string());
        ASSERT_EQ(traced.status, 0) << traced.out << traced.err;
        traced_seconds_ = traced.seconds;
        trace_.str(read_file(scratch_ / "trace"));
    }

    testing::ScratchDir scratch_;
    std::string before_index_, before_log_;
    std::istringstream trace_;
    double traced_seconds_ = 0;
};

TEST_F(FaultRun, KilledAndFullDiskRunsLeaveTheOldOrTheNewIndex) {
    // Kill points: every call, but only every `stride`-th of the many index page writes and
    // list-file lines and every `log_stride`-th log line. Full disks: the space left is what the
    // run wrote before the first call of a kind (and half of it, for the list file and the commit
    // copy).
    const int stride = kSanitized ? 24 : 12, log_stride = kSanitized ? 3 : 1;
    // Negative kill points kill after a share of the traced run's time (inside the scan, while
    // 7-Zip runs).
    std::vector<long long> kill_points{-1, -2, -3, -4, -5, -6, -7, -8};
    std::map<std::string, long long> space{{"job log", 0}};
    long long n = 0, calls = 0, result = 0, written = 0;
    int frequent = 0, log_lines = 0;
    bool listing_done = false;
    std::string op, path;
    while (trace_ >> n >> op >> result && std::getline(trace_ >> std::ws, path)) {
        const auto first = [&](const char* where, bool is, long long extra = 0) {
            if (is) {
                space.try_emplace(where, written + extra);
            }
        };
        ++calls;
        const bool list_file = path.ends_with(".lst");
        first("run log", op == "write" && path.ends_with("/log.txt"));
        first("index copy", op == "copy_file_range" && path.ends_with("/index.db"));
        first("index during the scan", op == "pwrite" && path.ends_with("/index.db"));
        first("list file", list_file && op == "write", result / 2);
        first("index during confirmations", listing_done && op == "pwrite");
        first("commit copy", op == "copy_file_range" && path.ends_with(".commit"), result / 2);
        listing_done = listing_done || (list_file && op == "fsync");
        if (op == "pwrite" || (list_file && op == "write")
                ? frequent++ % stride == 0
                : !path.ends_with("log.txt") || log_lines++ % log_stride == 0) {
            kill_points.push_back(n);
        }
        written +=
            (op == "write" || op == "pwrite" || op == "copy_file_range") && result > 0 ? result : 0;
    }
    ASSERT_GT(calls, 100);
    ASSERT_EQ(space.size(), 7u) << "a kind of call is missing from the trace";
    // The last call writes the completion line of the job log.
    ASSERT_TRUE(op == "write" && path.ends_with("backuplog.txt")) << path;
    const long long before_last = written - result;

    int killed_runs = 0, old_index = 0, new_index = 0;
    for (const long long point : kill_points) {
        const std::string context = "kill point " + std::to_string(point);
        restore();
        const CommandResult killed = point < 0 ? vesk("", traced_seconds_ * -point / 9)
                                               : vesk("FAULT_KILL_AT=" + std::to_string(point));
        if (killed.status != 128 + SIGKILL) {
            EXPECT_EQ(killed.status, 0) << context << killed.err; // the run ended before
            continue;
        }
        ++killed_runs;
        ASSERT_EQ(sql("PRAGMA integrity_check"), "ok\n") << context;
        const std::string index = read_file(job_db());
        const bool is_old = index == before_index_;
        const bool is_new = !runs().empty() && index == read_file(runs().back() / "index.db");
        EXPECT_TRUE(is_old || is_new) << context;
        old_index += is_old ? 1 : 0;
        new_index += is_new && !is_old ? 1 : 0;
        expect_next_run_stores_everything(context);
    }
    std::cout << killed_runs << " runs killed at " << kill_points.size() << " of " << calls
              << " traced calls (old index kept " << old_index << ", new index " << new_index
              << ")\n";
    EXPECT_GE(killed_runs, kSanitized ? 25 : 40);
    EXPECT_GT(old_index, 0);
    EXPECT_GT(new_index, 0);

    for (const auto& [where, bytes] : space) {
        restore();
        const CommandResult full = vesk("FAULT_SPACE=" + std::to_string(bytes));
        EXPECT_EQ(full.status, 1) << where << full.out;
        EXPECT_TRUE(full.err.starts_with("Error: ")) << where << full.err;
        EXPECT_TRUE(full.err.find("No space left on device") != std::string::npos ||
                    full.err.find("database or disk is full") != std::string::npos)
            << where << full.err;
        EXPECT_EQ(read_file(job_db()), before_index_) << where;
        EXPECT_FALSE(fs::exists(destination() / "backupindex.db.commit")) << where;
        expect_next_run_stores_everything(where);
    }

    // The disk fills with the completion line of the job log: the run has committed already,
    // and the lost line is reported on the console. Half the line fits, so that a few bytes
    // more or less in earlier lines (the walk's duration) move nothing.
    restore();
    const CommandResult late = vesk("FAULT_SPACE=" + std::to_string(before_last + result / 2));
    EXPECT_EQ(late.status, 0) << late.err;
    EXPECT_NE(late.out.find("No space left on device"), std::string::npos) << late.out;
    EXPECT_EQ(read_file(job_db()), read_file(runs().back() / "index.db"));
    expect_every_file_stored("completion line");
}

} // namespace
} // namespace vesk
