#include "index/scan_recorder.h"

#include "index/archive_db.h"
#include "platform/logging.h"

#include <cstdio>
#include <stdexcept>

namespace vesk {

namespace {} // namespace

ScanRecorder::ScanRecorder(ArchiveDb& db, size_t max_slot, const LogCallback& log)
    : db_(db), log_(log), max_slot_(max_slot), rowids_(std::make_unique<int64_t[]>(max_slot + 1)) {
    for (Batch& batch : batches_) {
        batch.records.reserve(kBatchRecords);
        batch.text.reserve(kBatchText + 4096);
    }
    rowids_[0] = 0;
    thread_ = std::thread([this] { write_batches(); });
}

ScanRecorder::~ScanRecorder() {
    stop_thread();
}

void ScanRecorder::add_directory(size_t parent_slot, std::string_view name, int64_t size,
                                 int64_t mtime) {
    if (parent_slot >= max_slot_)
        throw std::logic_error("directory slot out of range");
    add(Kind::directory, parent_slot, name, size, mtime);
}

void ScanRecorder::add_file(size_t parent_slot, std::string_view name, int64_t size,
                            int64_t mtime) {
    if (parent_slot > max_slot_)
        throw std::logic_error("directory slot out of range");
    add(Kind::file, parent_slot, name, size, mtime);
}

void ScanRecorder::progress(int64_t dirs, int64_t files) {
    add(Kind::progress, 0, {}, dirs, files);
}

void ScanRecorder::log(std::string_view line) {
    add(Kind::log_line, 0, line, 0, 0);
}

// Appends to the batch being filled (the walking thread owns it until it is handed over).
void ScanRecorder::add(Kind kind, size_t slot, std::string_view text, int64_t first,
                       int64_t second) {
    Batch& batch = batches_[handed_over_ % kBatches];
    batch.records.push_back(Record{kind, static_cast<uint32_t>(slot),
                                   static_cast<uint32_t>(text.size()), batch.text.size(), first,
                                   second});
    batch.text.append(text);
    if (batch.records.size() >= kBatchRecords || batch.text.size() >= kBatchText)
        hand_over();
}

// Queues the filled batch and waits until the next one is free again. A failure of the writing
// thread ends the walk with that failure.
void ScanRecorder::hand_over() {
    std::unique_lock lock(mutex_);
    ++handed_over_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return handed_over_ - written_ < kBatches || failure_; });
    if (failure_) {
        const std::exception_ptr failure = failure_;
        lock.unlock();
        std::rethrow_exception(failure);
    }
    Batch& next = batches_[handed_over_ % kBatches];
    next.records.clear();
    next.text.clear();
}

void ScanRecorder::finish() {
    {
        std::lock_guard lock(mutex_);
        if (!batches_[handed_over_ % kBatches].records.empty())
            ++handed_over_;
        finished_ = true;
    }
    changed_.notify_all();
    thread_.join();
    if (failure_)
        std::rethrow_exception(failure_);
}

void ScanRecorder::stop_thread() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

// The writing thread: writes the batches in the order they were handed over until the walk
// has finished and everything is written, or until it is stopped or a write fails.
void ScanRecorder::write_batches() {
    for (;;) {
        const Batch* batch = nullptr;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock,
                          [this] { return written_ < handed_over_ || finished_ || stopped_; });
            if (stopped_ || written_ == handed_over_)
                return;
            batch = &batches_[written_ % kBatches];
        }
        try {
            write(*batch);
        } catch (...) {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            changed_.notify_all();
            return;
        }
        {
            std::lock_guard lock(mutex_);
            ++written_;
        }
        changed_.notify_all();
    }
}

void ScanRecorder::write(const Batch& batch) {
    for (const Record& record : batch.records) {
        const std::string_view text(batch.text.data() + record.text_offset, record.text_size);
        switch (record.kind) {
        case Kind::directory:
            rowids_[record.slot + 1] =
                db_.add_object(rowids_[record.slot], text, kIndexDirectoryBit, record.size_or_dirs,
                               record.mtime_or_files);
            break;
        case Kind::file:
            db_.add_object(rowids_[record.slot], text, 0, record.size_or_dirs,
                           record.mtime_or_files);
            break;
        case Kind::progress:
            db_.scan_progress(record.size_or_dirs, record.mtime_or_files, print_console_line);
            break;
        case Kind::log_line:
            if (log_)
                log_(text);
            break;
        }
    }
}

} // namespace vesk
