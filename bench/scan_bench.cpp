// Times the directory walker alone, or full scans into a real index file.
//   scan_bench --walk TREE            walk only, no index
//   scan_bench TREE INDEX.db [RUNS]   RUNS scans (default 2) into the same index file; the
//                                     second and later runs see an unchanged tree
// Prints one line per run with the counts, the time and the peak resident set size so far, and
// one for building the directory cache and listing the index after the last run.

#include "config/config.h"
#include "index/archive_db.h"
#include "platform/dir_walk.h"
#include "index/select_files.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/resource.h>

namespace {

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double elapsed_ms(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

int walk_only(const std::string& tree) {
    uint64_t dirs = 0, files = 0;
    vesk::WalkCallbacks callbacks;
    callbacks.enter_dir = [&](const vesk::WalkEntry&) { return ++dirs > 0; };
    callbacks.visit_file = [&](const vesk::WalkEntry&) { return ++files > 0; };
    callbacks.leave_dir = [](const vesk::WalkEntry&) { return true; };
    const auto start = std::chrono::steady_clock::now();
    vesk::VisitFiles({tree}, callbacks, true);
    std::printf("walk: %llu dirs, %llu files, %.0f ms, peak RSS %ld KiB\n",
                static_cast<unsigned long long>(dirs), static_cast<unsigned long long>(files),
                elapsed_ms(start), peak_rss_kib());
    return 0;
}

int scan_runs(const std::string& tree, const std::string& index, int runs) {
    vesk::Config config;
    for (int run = 1; run <= runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        vesk::ArchiveDb db(index);
        vesk::FileScanner scanner(db);
        scanner.scan({tree}, config, [](std::string_view) {});
        db.close();
        const vesk::ScanCounts& counts = scanner.counts();
        std::printf("scan run %d: %llu dirs, %llu files, %.0f ms, peak RSS %ld KiB\n", run,
                    static_cast<unsigned long long>(counts.dirs_recorded),
                    static_cast<unsigned long long>(counts.files_recorded), elapsed_ms(start),
                    peak_rss_kib());
        std::fflush(stdout);
    }
    const auto start = std::chrono::steady_clock::now();
    vesk::ArchiveDb db(index);
    db.prepare_listing();
    db.cache_dirs([](std::string_view) {});
    uint64_t listed = 0;
    db.list_objects(
        [&](std::string_view, std::string_view, uint32_t, int64_t, int64_t) { ++listed; });
    std::printf("listing: %llu entries, %.0f ms, peak RSS %ld KiB\n",
                static_cast<unsigned long long>(listed), elapsed_ms(start), peak_rss_kib());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::string_view(argv[1]) == "--walk")
            return walk_only(argv[2]);
        if (argc == 3 || argc == 4)
            return scan_runs(argv[1], argv[2], argc == 4 ? std::atoi(argv[3]) : 2);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: scan_bench --walk TREE | scan_bench TREE INDEX.db [RUNS]\n");
    return 127;
}
