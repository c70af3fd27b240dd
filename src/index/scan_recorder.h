#pragma once
// Records what the file scanner selects on a thread of its own, so that walking the tree (system
// calls and selection) and writing the index run side by side. Everything the scan writes while
// it walks (index rows, progress lines, log lines) passes through here in the order the walk
// produced it, and is written in that order by the one thread that uses the index meanwhile.

#include "platform/log_callback.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vesk {

class ArchiveDb;

class ScanRecorder {
public:
    // Directory slots run from 0 to `max_slot`; `log` receives the log lines and must outlive
    // the recorder.
    ScanRecorder(ArchiveDb& db, size_t max_slot, const LogCallback& log);
    // Stops the writing thread without waiting for what is still queued.
    ~ScanRecorder();
    ScanRecorder(const ScanRecorder&) = delete;
    ScanRecorder& operator=(const ScanRecorder&) = delete;

    // A directory whose parent is the directory in slot `parent_slot` (0: the source root); it
    // takes slot parent_slot + 1 for the entries recorded after it.
    void add_directory(size_t parent_slot, std::string_view name, int64_t size, int64_t mtime);
    void add_file(size_t parent_slot, std::string_view name, int64_t size, int64_t mtime);
    // Commits the scan so far and prints a progress line with these counts.
    void progress(int64_t dirs, int64_t files);
    void log(std::string_view line);

    // Writes everything queued, ends the thread and rethrows its failure, if any.
    void finish();

private:
    enum class Kind : uint8_t { directory, file, progress, log_line };
    // An index row (name in the batch text), a progress line (counts of directories and
    // files in the two numbers) or a log line (the text).
    struct Record {
        Kind kind;
        uint32_t slot;
        uint32_t text_size;
        size_t text_offset;
        int64_t size_or_dirs;
        int64_t mtime_or_files;
    };
    struct Batch {
        std::vector<Record> records;
        std::string text;
    };
    static constexpr size_t kBatches = 4;
    static constexpr size_t kBatchRecords = 4096;
    static constexpr size_t kBatchText = 256 * 1024;

    void add(Kind kind, size_t slot, std::string_view text, int64_t first, int64_t second);
    void hand_over();
    void write_batches();
    void write(const Batch& batch);
    void stop_thread();

    ArchiveDb& db_;
    const LogCallback& log_;
    const size_t max_slot_;
    std::unique_ptr<int64_t[]> rowids_; // row ids of the directory slots, writing thread only
    std::array<Batch, kBatches> batches_;
    // Batches are filled and written in turn: batch n % kBatches is the n-th handed over.
    uint64_t handed_over_ = 0;
    uint64_t written_ = 0;
    bool finished_ = false;
    bool stopped_ = false;
    std::exception_ptr failure_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

} // namespace vesk
