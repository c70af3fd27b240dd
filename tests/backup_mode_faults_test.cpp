// End-to-end runs of build/vesk under faults that need a program to inject them: crashes at many
// points and a full disk. Whatever happens, the committed
// index must be the old one or the new one, and a later run must confirm every selected file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "support/run_command.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using ChildResult = testing::CommandResult;
using testing::read_file;

// The rows of a query of an index file, through the sqlite3 program rather than VESK's own access
// layer.
std::string sql_rows(const fs::path& db, const std::string& sql) {
    return testing::run_command({"sqlite3", "-readonly", db.string(), sql}).out;
}
using testing::write_file;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// 7-Zip reports every file it adds as "+ path" (the trees here hold no empty files).
const std::string seven_zip_format = R"(
select_format(format("7z"))
format_specification("7z", archive(executable("7z"),
    arguments("a -bb1 -spd -scsUTF-8 ""%archive%.7z"" @""%listfile%"""), workdir("%srcdir%"),
    filepattern("^\+ (.*)$", 1))))";

// Kills the process groups of the processes whose command line names `text`, and waits (up to
// two seconds) until none of them runs: the archiver of a killed run lives on in its own group
// and may still write into (or recreate) its run directory.
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

struct TracedCall {
    long long n = 0;
    std::string op;
    long long result = 0;
    std::string path;
};

class FaultRun : public ::testing::Test {
protected:
    fs::path source() const { return scratch_ / "src"; }
    fs::path destination() const { return scratch_ / "dst"; }
    fs::path job_db() const { return destination() / "backupindex.db"; }

    void write_job(const std::string& formats) {
        write_file(scratch_ / "job.conf", "source_dir(\"" + source().string() +
                                              "\")\ndestination_dir(\"" + destination().string() +
                                              "\")\nmode(incremental(0))\n" + formats);
    }

    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& env = {}) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{VESK_BINARY, "--cfg", (scratch_ / "job.conf").string()}, env);
    }

    // One run to its end; whatever it left running is ended with it.
    ChildResult vesk(const std::vector<std::string>& env = {}) { return start(env)->wait(); }

    std::vector<fs::path> runs() const { return testing::sorted_subdirectories(destination()); }

    // Run directories are named by the second: runs that follow a failed one at once must not
    // meet its directory.
    void remove_run_directories() const {
        end_orphaned_archivers(destination().string());
        for (const fs::path& run : runs()) {
            fs::remove_all(run);
        }
    }

    // After a failed run, the next one completes and leaves no commit file behind.
    void expect_next_run_stores_everything(const std::string& context) {
        remove_run_directories();
        const ChildResult next = vesk();
        ASSERT_EQ(next.status, 0) << context << next.out << next.err;
        EXPECT_FALSE(fs::exists(destination() / "backupindex.db.commit")) << context;
        expect_every_file_stored(context);
    }

    // The committed index is whole and records every file of the source as stored.
    void expect_every_file_stored(const std::string& context) const {
        size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(source())) {
            files += entry.is_regular_file() ? 1 : 0;
        }
        EXPECT_EQ(sql_rows(job_db(), "PRAGMA integrity_check"), "ok\n") << context;
        EXPECT_EQ(sql_rows(job_db(), "SELECT count(*), sum(state = 2) FROM objects "
                                     "WHERE attributes & 1 = 0"),
                  std::to_string(files) + "|" + std::to_string(files) + "\n")
            << context;
    }

    // The destination as it was after the last completed run, without its run directories.
    void restore() const {
        fs::remove_all(destination());
        write_file(job_db(), before_index_);
        write_file(destination() / "backuplog.txt", before_log_);
    }

    std::vector<std::string> fault_env(const std::string& setting) const {
        std::vector<std::string> env{"LD_PRELOAD=" VESK_FAULT_PRELOAD,
                                     "FAULT_DIR=" + destination().string(), setting};
        if (kSanitized) {
            env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
        }
        return env;
    }

    // A committed run, then a changed tree (new, changed and deleted files) and a complete traced
    // run from that state: the file calls of the traced run are where faults are injected.
    void trace_next_run(int dirs, int files) {
        for (int d = 0; d < dirs; ++d) {
            for (int f = 0; f < files; ++f) {
                const std::string name = "d" + std::to_string(d) + "/f" + std::to_string(f);
                write_file(source() / (name + ".txt"), name + std::string(1 + f % 7, '.'));
            }
        }
        write_job(seven_zip_format);
        ASSERT_EQ(vesk().status, 0);
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
        before_index_ = read_file(job_db());
        before_log_ = read_file(destination() / "backuplog.txt");
        restore();
        const ChildResult traced = vesk(fault_env("FAULT_TRACE=" + (scratch_ / "trace").string()));
        ASSERT_EQ(traced.status, 0) << traced.out << traced.err;
        std::istringstream lines(read_file(scratch_ / "trace"));
        for (TracedCall call; lines >> call.n >> call.op >> call.result;) {
            std::getline(lines >> std::ws, call.path);
            calls_.push_back(call);
        }
        traced_seconds_ = traced.seconds;
    }

    testing::ScratchDir scratch_;
    std::string before_index_, before_log_;
    std::vector<TracedCall> calls_;
    double traced_seconds_ = 0;
};

TEST_F(FaultRun, KilledRunsLeaveTheOldOrTheNewIndex) {
    ASSERT_NO_FATAL_FAILURE(trace_next_run(kSanitized ? 10 : 20, 100));
    ASSERT_GT(calls_.size(), 100u);
    // Kill points: every call, but only every `stride`-th of the many index page writes and
    // list-file lines and every `log_stride`-th log line; negative points are kills after a
    // share of the traced run's time (inside the scan, while 7-Zip runs).
    const int stride = kSanitized ? 24 : 12, log_stride = kSanitized ? 3 : 1;
    std::vector<long long> points{-1, -2, -3, -4, -5, -6, -7, -8};
    int frequent = 0, log_lines = 0;
    for (const TracedCall& call : calls_) {
        const bool is_list_file = call.path.ends_with(".lst");
        if (call.op == "pwrite" || (is_list_file && call.op == "write")
                ? frequent++ % stride == 0
                : !call.path.ends_with("log.txt") || log_lines++ % log_stride == 0) {
            points.push_back(call.n);
        }
    }
    int killed_runs = 0, old_index = 0, new_index = 0;
    for (const long long point : points) {
        const std::string context = "kill point " + std::to_string(point);
        restore();
        ChildResult killed;
        if (point > 0) {
            killed = vesk(fault_env("FAULT_KILL_AT=" + std::to_string(point)));
        } else {
            auto run = start();
            std::this_thread::sleep_for(
                std::chrono::duration<double>(traced_seconds_ * -point / 9));
            run->kill();
            killed = run->wait();
        }
        if (killed.status != 128 + SIGKILL) {
            EXPECT_EQ(killed.status, 0) << context << killed.err; // the run ended before
            continue;
        }
        ++killed_runs;
        ASSERT_EQ(sql_rows(job_db(), "PRAGMA integrity_check"), "ok\n") << context;
        const std::string index = read_file(job_db());
        const bool is_old = index == before_index_;
        const bool is_new = !runs().empty() && index == read_file(runs().back() / "index.db");
        EXPECT_TRUE(is_old || is_new) << context;
        old_index += is_old ? 1 : 0;
        new_index += is_new && !is_old ? 1 : 0;
        expect_next_run_stores_everything(context);
    }
    std::cout << killed_runs << " runs killed at " << points.size() << " of " << calls_.size()
              << " traced calls (old index kept " << old_index << ", new index " << new_index
              << ")\n";
    EXPECT_GE(killed_runs, kSanitized ? 25 : 40);
    EXPECT_GT(old_index, 0);
    EXPECT_GT(new_index, 0);
}

TEST_F(FaultRun, FullDiskEndsTheRunAndKeepsTheIndex) {
    ASSERT_NO_FATAL_FAILURE(trace_next_run(10, 40));
    // The space left is what the run wrote before the `skip`-th call (0-based) of `op` on a path
    // ending with `suffix` (or the call numbered `n`), plus `extra` bytes.
    const auto space_before = [&](const std::string& op, const std::string& suffix, long long n,
                                  long long skip, long long extra) {
        long long written = 0;
        for (const TracedCall& call : calls_) {
            if ((call.n == n || (call.op == op && call.path.ends_with(suffix))) && skip-- == 0) {
                return written + extra;
            }
            const bool is_write =
                call.op == "write" || call.op == "pwrite" || call.op == "copy_file_range";
            written += is_write && call.result > 0 ? call.result : 0;
        }
        ADD_FAILURE() << "no such call: " << op << " " << suffix << " " << n;
        return written;
    };
    long long listed_lines = 0, commit_size = 0, first_confirmation = -1;
    bool listing_done = false;
    for (const TracedCall& call : calls_) {
        listed_lines += call.op == "write" && call.path.ends_with(".lst") ? 1 : 0;
        commit_size += call.path.ends_with(".commit") && call.op == "copy_file_range"
                           ? std::max(call.result, 0LL)
                           : 0;
        if (listing_done && first_confirmation < 0 && call.op == "pwrite") {
            first_confirmation = call.n;
        }
        listing_done = listing_done || (call.path.ends_with(".lst") && call.op == "fsync");
    }
    const struct {
        const char* where;
        long long space;
    } cases[] = {
        {"job log", 0},
        {"run log", space_before("write", "/log.txt", 0, 0, 0)},
        {"index copy", space_before("copy_file_range", "/index.db", 0, 0, 0)},
        {"index during the scan", space_before("pwrite", "/index.db", 0, 0, 0)},
        {"list file", space_before("write", ".lst", 0, listed_lines / 2, 0)},
        {"index during confirmations", space_before("", "\n", first_confirmation, 0, 0)},
        {"commit copy", space_before("copy_file_range", ".commit", 0, 0, commit_size / 2)},
    };
    for (const auto& fault : cases) {
        restore();
        const ChildResult full = vesk(fault_env("FAULT_SPACE=" + std::to_string(fault.space)));
        EXPECT_EQ(full.status, 1) << fault.where << full.out;
        EXPECT_TRUE(full.err.starts_with("Error: ")) << fault.where << full.err;
        EXPECT_TRUE(full.err.find("No space left on device") != std::string::npos ||
                    full.err.find("database or disk is full") != std::string::npos)
            << fault.where << full.err;
        EXPECT_EQ(read_file(job_db()), before_index_) << fault.where;
        EXPECT_FALSE(fs::exists(destination() / "backupindex.db.commit")) << fault.where;
        expect_next_run_stores_everything(fault.where);
    }

    // The disk fills with the completion line of the job log: the run has committed already,
    // and the lost line is reported on the console. Half the line fits, so that a few bytes
    // more or less in earlier lines (the walk's duration in milliseconds) move nothing.
    restore();
    ASSERT_TRUE(calls_.back().path.ends_with("backuplog.txt"));
    const long long last_line =
        space_before("", "\n", calls_.back().n, 0, calls_.back().result / 2);
    const ChildResult late = vesk(fault_env("FAULT_SPACE=" + std::to_string(last_line)));
    EXPECT_EQ(late.status, 0) << late.err;
    EXPECT_NE(late.out.find("No space left on device"), std::string::npos) << late.out;
    EXPECT_EQ(read_file(job_db()), read_file(runs().back() / "index.db"));
    expect_every_file_stored("completion line");
}

} // namespace
} // namespace vesk
