// Records 1,000,000 objects (about 100 per directory) through ArchiveDb as a first scan, lists
// and confirms them all, then records them again as an unchanged second scan followed by
// cleanup, prepare_listing, cache_dirs and an (empty) listing. Prints rows per second for each
// phase, by wall time and by this process's CPU time.
// Usage: archive_db_bench [object count] [index file]

#include "index/archive_db.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t files_per_dir = 99;
constexpr int64_t progress_interval = 10000;

// Wall time and this process's CPU time: the machine is shared, so both are printed.
struct Stopwatch {
    Clock::time_point wall = Clock::now();
    std::clock_t cpu = std::clock();
};

void report(const char* phase, int64_t rows, const Stopwatch& start) {
    const double wall = std::chrono::duration<double>(Clock::now() - start.wall).count();
    const double cpu = static_cast<double>(std::clock() - start.cpu) / CLOCKS_PER_SEC;
    std::printf("%-26s %8lld rows  wall %7.3f s %10.0f rows/s  cpu %7.3f s %10.0f rows/s\n", phase,
                static_cast<long long>(rows), wall, rows / wall, cpu, rows / cpu);
}

// A tree of directories two levels deep, each holding `files_per_dir` files, recorded in the
// walker's order with a progress commit every 10,000 objects. Returns the objects recorded.
int64_t scan(vesk::ArchiveDb& db, int64_t objects) {
    const vesk::LogCallback quiet = [](std::string_view) {};
    db.begin_scan(quiet);
    int64_t recorded = 0;
    int64_t dirs = 0;
    int64_t threshold = progress_interval;
    auto record = [&](int64_t parent, const std::string& name, uint32_t attributes) {
        const int64_t id = db.add_object(parent, name, attributes, attributes ? 0 : recorded * 7,
                                         1'600'000'000 + recorded);
        if (++recorded >= threshold) {
            threshold += progress_interval;
            db.scan_progress(dirs, recorded - dirs, quiet);
        }
        return id;
    };
    for (int64_t top = 0; recorded < objects; ++top) {
        const int64_t top_id = record(0, "top " + std::to_string(top), 1);
        ++dirs;
        for (int64_t sub = 0; sub < 100 && recorded < objects; ++sub) {
            const int64_t sub_id = record(top_id, "directory " + std::to_string(sub), 1);
            ++dirs;
            for (int64_t file = 0; file < files_per_dir && recorded < objects; ++file) {
                record(sub_id, "file name " + std::to_string(file) + ".dat", 0);
            }
        }
    }
    db.end_scan(dirs, recorded - dirs, quiet);
    return recorded;
}

} // namespace

int main(int argc, char** argv) {
    const int64_t objects = argc > 1 ? std::stoll(argv[1]) : 1'000'000;
    const std::string file = argc > 2 ? argv[2]
                                      : (std::filesystem::temp_directory_path() /
                                         ("archive_db_bench_" + std::to_string(::getpid()) + ".db"))
                                            .string();
    std::filesystem::remove(file);
    const vesk::LogCallback quiet = [](std::string_view) {};
    try {
        {
            // First run: everything is new, listed, and confirmed by the archiver.
            vesk::ArchiveDb db(file);
            Stopwatch start;
            const int64_t first = scan(db, objects);
            report("first scan", first, start);
            db.cleanup(quiet);
            db.prepare_listing();
            db.cache_dirs(quiet);
            start = Stopwatch();
            int64_t confirmed = 0;
            db.list_objects(
                [&](std::string_view dir, std::string_view name, uint32_t, int64_t, int64_t) {
                    confirmed += db.confirm_archived(dir, name, "sum", 1);
                });
            report("listing + confirmations", confirmed, start);
        }
        // Second run over the unchanged tree: nothing is listed.
        vesk::ArchiveDb db(file);
        Stopwatch start;
        const int64_t second = scan(db, objects);
        report("second scan (unchanged)", second, start);
        const Stopwatch after_scan;
        db.cleanup(quiet);
        db.prepare_listing();
        db.cache_dirs(quiet);
        int64_t listed = 0;
        db.list_objects(
            [&](std::string_view, std::string_view, uint32_t, int64_t, int64_t) { ++listed; });
        report("  cleanup..empty listing", second, after_scan);
        report("second run total", second, start);
        db.close();
        std::printf("listed in second run: %lld, index size: %.1f MB\n",
                    static_cast<long long>(listed), std::filesystem::file_size(file) / 1048576.0);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return 1;
    }
    std::filesystem::remove(file);
    return 0;
}
