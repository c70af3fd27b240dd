// The first run over a large tree with an archiver that reports every list-file line as stored
// (sed prefixing "+ "), so the figures measure VESK's own listing, output parsing and
// confirmation rather than an archiver's work.
//
// Usage: listing_bench [files]   (default 100000; the tree is built in a temporary directory)
//
// Two runs on the same tree:
//  1. the whole archiving phase with the real sed archiver (archive_formats), timed as one;
//  2. the same phase split: the listing (index rows -> format selection -> list file), then the
//     confirmation (the archiver's output fed through the line splitter and the file pattern
//     into the index, without a process), so each part is measured alone.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "config/config.h"
#include "config/format_spec.h"
#include "formats/target_format.h"
#include "index/archive_db.h"
#include "platform/bindings.h"
#include "support/prepared_run.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void make_tree(const fs::path& source, long files) {
    constexpr long kFilesPerDir = 1000;
    for (long i = 0; i < files; ++i) {
        const fs::path dir = source / ("dir" + std::to_string(i / kFilesPerDir));
        if (i % kFilesPerDir == 0) {
            fs::create_directories(dir);
        }
        std::ofstream(dir / ("file " + std::to_string(i) + ".txt")) << i;
    }
}

std::string job_text(const fs::path& source, const fs::path& destination) {
    return "source_dir(\"" + source.string() + "\") destination_dir(\"" + destination.string() +
           "\") mode(incremental(0)) select_format(format(\"all\")) "
           "format_specification(\"all\", archive(executable(\"sed\"), "
           "arguments(\"\"\"s/^/+ /\"\" \"\"%listfile%\"\"\"), filepattern(\"^\\+ (.*)$\", 1)))";
}

// Prepares a run up to the archiving phase; returns the scan time.
double prepare(vesk::testing::PreparedRun& task, const std::string& run_name) {
    task.open_run(run_name);
    const auto start = Clock::now();
    task.scan_and_prepare();
    return seconds_since(start);
}

std::unique_ptr<vesk::testing::PreparedRun> make_task(const vesk::Config& config) {
    return std::make_unique<vesk::testing::PreparedRun>(
        config, [](vesk::ArchiveDb& db) { return db.add_run("VESK 0.1.0", "bench", "job"); });
}

// The index with its transaction operations reachable, to show what batching confirmations into
// one transaction would give.
class BatchingDb : public vesk::ArchiveDb {
public:
    using vesk::ArchiveDb::ArchiveDb;
    using vesk::ArchiveDb::begin_transaction;
    using vesk::ArchiveDb::commit_transaction;
};

double listing_only(const vesk::RunContext& task, vesk::TargetFormatHandler& handler) {
    const auto start = Clock::now();
    handler.open_listfile();
    handler.ensure_format_id();
    vesk::DbFileEntry entry;
    const int64_t reference = vesk::filetime_to_unix(task.run_start_time);
    task.db->list_objects([&](std::string_view dir, std::string_view name, uint32_t attributes,
                              int64_t size, int64_t modified) {
        entry.fill(dir, name, attributes, size, modified, reference);
        if (task.config.select_format->choose(entry) == &handler.format_spec()) {
            handler.add_entry(dir, name);
        }
    });
    handler.close_listfile();
    return seconds_since(start);
}

double confirmation_only(vesk::TargetFormatHandler& handler) {
    std::ifstream list(handler.listfile_path(), std::ios::binary);
    std::string output;
    for (std::string line; std::getline(list, line);) {
        output += "+ " + line + "\n"; // keeps the CR: a CR LF output line, as sed prints it
    }
    const auto& method = *handler.format_spec().archive;
    const auto start = Clock::now();
    handler.use_file_pattern(*method.filepattern, method.path_group, method.checksum_group);
    constexpr size_t kChunk = 65536; // a typical pipe read
    for (size_t at = 0; at < output.size(); at += kChunk) {
        handler.output_lines().feed(std::string_view(output).substr(at, kChunk));
    }
    handler.output_lines().flush();
    return seconds_since(start);
}

} // namespace

int main(int argc, char** argv) {
    const long files = argc > 1 ? std::atol(argv[1]) : 100'000;
    const fs::path root =
        fs::temp_directory_path() / ("vesk-listing-bench-" + std::to_string(::getpid()));
    const fs::path source = root / "src";
    make_tree(source, files);

    const auto whole_config = vesk::parse_job(job_text(source, root / "whole"));
    auto whole = make_task(*whole_config);
    const double whole_scan = prepare(*whole, "run");
    auto start = Clock::now();
    vesk::archive_formats(whole->context());
    const double whole_phase = seconds_since(start);

    const auto split_config = vesk::parse_job(job_text(source, root / "split"));
    auto split = make_task(*split_config);
    const double split_scan = prepare(*split, "run");
    vesk::RunContext& split_context = split->context();
    vesk::TargetFormatHandler handler(split_context, *split_config->format_specifications[0]);
    const double listing = listing_only(split_context, handler);
    const double confirmation = confirmation_only(handler);
    const uint32_t matched = handler.matched_count();

    // The same confirmations again, this time inside one transaction.
    split->db().close();
    BatchingDb batching_db(split->run_db_name());
    batching_db.cache_dirs([](std::string_view) {});
    split_context.db = &batching_db;
    batching_db.begin_transaction();
    const double batched = confirmation_only(handler);
    batching_db.commit_transaction();

    std::printf("files: %ld\n", files);
    std::printf("run 1 scan: %.3f s (%.0f files/s)\n", whole_scan, files / whole_scan);
    std::printf("run 1 archiving phase with sed: %.3f s (%.0f files/s), unconfirmed: %lld\n",
                whole_phase, files / whole_phase,
                static_cast<long long>(whole->summary().unconfirmed_count));
    std::printf("run 2 scan: %.3f s (%.0f files/s)\n", split_scan, files / split_scan);
    std::printf("run 2 listing: %.3f s (%.0f files/s), %u lines\n", listing, files / listing,
                handler.entry_count());
    std::printf("run 2 confirmation: %.3f s (%.0f files/s), %u matched\n", confirmation,
                files / confirmation, matched);
    const bool complete =
        whole->summary().unconfirmed_count == 0 && matched == static_cast<uint32_t>(files);
    std::printf("run 2 confirmation inside one transaction: %.3f s (%.0f files/s)\n", batched,
                files / batched);
    whole.reset();
    split.reset();
    fs::remove_all(root);
    return complete ? 0 : 1;
}
