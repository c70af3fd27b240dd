#include "index/scan_recorder.h"

#include "index/archive_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/text_format.h"
#include "support/case_file.h"
#include "support/run_command.h"

namespace vesk {
namespace {

using Lines = std::vector<std::string>;

// One row as the index receives it: "parent/name:attributes:size:mtime".
std::string row(int64_t parent, std::string_view name, uint32_t attributes, int64_t size,
                int64_t mtime) {
    return format("%s/%s:%s:%s:%s", parent, name, attributes, size, mtime);
}

// An index that notes, in one sequence, every row and progress commit it is asked for; row ids
// count up from 1. It fails with the row named `fail_on`.
class NotingDb : public ArchiveDb {
public:
    NotingDb(const std::string& file, std::string fail_on = "")
        : ArchiveDb(file), fail_on_(std::move(fail_on)) {}

    int64_t add_object(int64_t parentid, std::string_view name, uint32_t attributes, int64_t size,
                       int64_t mtime) override {
        if (name == fail_on_)
            throw std::runtime_error("database or disk is full");
        writer = std::this_thread::get_id();
        events.push_back(row(parentid, name, attributes, size, mtime));
        return ++last_id_;
    }
    bool scan_progress(int64_t dirs, int64_t files, const LogCallback&) override {
        events.push_back("progress " + std::to_string(dirs) + " " + std::to_string(files));
        return true;
    }

    Lines events;
    std::thread::id writer;
    // A log that notes its lines in the same sequence.
    const LogCallback log = [this](std::string_view line) {
        events.push_back("log " + std::string(line));
    };

private:
    std::string fail_on_;
    int64_t last_id_ = 0;
};

// Records a tree of many batches: d0/ .. d19/ under the root, each with a subdirectory "sub/"
// holding 1,000 files, a log line after every directory and a progress record now and then.
// Returns what the index and the log should receive, in order.
Lines record_tree(ScanRecorder& recorder) {
    Lines expected;
    for (int64_t d = 0, dir_id = 1; d < 20; ++d, dir_id += 1003) {
        const std::string dir = "d" + std::to_string(d);
        recorder.add_directory(0, dir, 4096, d);
        recorder.log("entered " + dir);
        recorder.add_directory(1, "sub", 4096, 7);
        expected.insert(expected.end(), {row(0, dir, 1, 4096, d), "log entered " + dir,
                                         row(dir_id, "sub", 1, 4096, 7)});
        for (int f = 0; f < 1000; ++f) {
            const std::string name = "f" + std::to_string(f) + std::string(f % 200, 'x');
            recorder.add_file(2, name, f, f + 1);
            expected.push_back(row(dir_id + 1, name, 0, f, f + 1));
        }
        recorder.add_file(1, "after.txt", 1, 2); // back in d<d> after its subdirectory
        recorder.progress(d, d * 1000);
        expected.insert(expected.end(),
                        {row(dir_id, "after.txt", 0, 1, 2),
                         "progress " + std::to_string(d) + " " + std::to_string(d * 1000)});
    }
    return expected;
}

struct RecorderTest : ::testing::Test {
    testing::ScratchDir scratch;
    const std::string file = (scratch.path() / "index.db").string();
    const LogCallback quiet = [](std::string_view) {};
};

TEST_F(RecorderTest, WritesEverythingInTheWalksOrderOnItsOwnThread) {
    NotingDb db(file);
    ScanRecorder recorder(db, 16, db.log);
    const Lines expected = record_tree(recorder);
    recorder.finish();
    EXPECT_EQ(db.events, expected);
    EXPECT_NE(db.writer, std::thread::id());
    EXPECT_NE(db.writer, std::this_thread::get_id());

    // A recorder that ends without writing anything.
    ScanRecorder idle(db, 16, db.log);
    idle.finish();
    EXPECT_EQ(db.events.size(), expected.size());
    EXPECT_THROW(idle.add_directory(16, "too deep", 0, 0), std::logic_error);
}

TEST_F(RecorderTest, AFailedWriteEndsTheWalkAndNothingAfterItIsWritten) {
    // The failure reaches the walking side while it hands over a later batch...
    NotingDb early(file, "f500" + std::string(100, 'x'));
    ScanRecorder recorder(early, 16, quiet);
    EXPECT_EQ(testing::message_of([&] {
                  record_tree(recorder);
                  recorder.finish();
              }),
              "database or disk is full");
    // d0/ is row 1, d0/sub/ row 2; the failing row is in the first directory.
    EXPECT_EQ(early.events.back(), row(2, "f499" + std::string(99, 'x'), 0, 499, 500));

    // ... or when it finishes, for a failure in the last batch.
    NotingDb last(file + ".last", "last");
    ScanRecorder short_walk(last, 16, quiet);
    for (const char* name : {"first", "last", "never"}) {
        short_walk.add_file(0, name, 1, 1);
    }
    EXPECT_THROW(short_walk.finish(), std::runtime_error);
    EXPECT_EQ(last.events, Lines{row(0, "first", 0, 1, 1)});

    // A walk that fails on its own side drops the recorder unfinished: it stops, and what it
    // wrote is the start of the walk.
    NotingDb unfinished(file + ".unfinished");
    auto abandoned = std::make_unique<ScanRecorder>(unfinished, 16, unfinished.log);
    const Lines walked = record_tree(*abandoned);
    abandoned.reset();
    ASSERT_LE(unfinished.events.size(), walked.size());
    EXPECT_TRUE(std::equal(unfinished.events.begin(), unfinished.events.end(), walked.begin()));
}

} // namespace
} // namespace vesk
