#include "index/scan_recorder.h"

#include "index/archive_db.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/run_command.h"

namespace vesk {
namespace {

// An index that notes, in one sequence, every row and progress commit it is asked for; row ids
// count up from 1. It fails with the row named `fail_on`.
class NotingDb : public ArchiveDb {
public:
    explicit NotingDb(const std::string& file, std::string fail_on = "")
        : ArchiveDb(file), fail_on_(std::move(fail_on)) {}

    int64_t add_object(int64_t parentid, std::string_view name, uint32_t attributes, int64_t size,
                       int64_t mtime) override {
        if (name == fail_on_)
            throw std::runtime_error("database or disk is full");
        writer = std::this_thread::get_id();
        events.push_back(std::to_string(parentid) + "/" + std::string(name) + ":" +
                         std::to_string(attributes) + ":" + std::to_string(size) + ":" +
                         std::to_string(mtime));
        return ++last_id_;
    }
    bool scan_progress(int64_t dirs, int64_t files, const LogCallback&) override {
        events.push_back("progress " + std::to_string(dirs) + " " + std::to_string(files));
        return true;
    }

    std::vector<std::string> events;
    std::thread::id writer;

private:
    std::string fail_on_;
    int64_t last_id_ = 0;
};

struct RecorderTest : ::testing::Test {
    testing::ScratchDir scratch;
    const std::string file = (scratch.path() / "index.db").string();
};

// Records a tree of many batches: d0/ .. d19/ under the root, each with a subdirectory "sub/"
// holding 1,000 files, a log line after every directory and a progress record now and then.
// Returns what the index and the log should receive, in order.
std::vector<std::string> record_tree(ScanRecorder& recorder) {
    std::vector<std::string> expected;
    int64_t next_id = 0;
    for (int d = 0; d < 20; ++d) {
        const std::string dir = "d" + std::to_string(d);
        recorder.add_directory(0, dir, 4096, d);
        expected.push_back("0/" + dir + ":1:4096:" + std::to_string(d));
        const int64_t dir_id = ++next_id;
        recorder.log("entered " + dir);
        expected.push_back("log entered " + dir);
        recorder.add_directory(1, "sub", 4096, 7);
        expected.push_back(std::to_string(dir_id) + "/sub:1:4096:7");
        const int64_t sub_id = ++next_id;
        for (int f = 0; f < 1000; ++f) {
            const std::string name = "f" + std::to_string(f) + std::string(f % 200, 'x');
            recorder.add_file(2, name, f, f + 1);
            expected.push_back(std::to_string(sub_id) + "/" + name + ":0:" + std::to_string(f) +
                               ":" + std::to_string(f + 1));
            ++next_id;
        }
        recorder.add_file(1, "after.txt", 1, 2); // back in d<d> after its subdirectory
        expected.push_back(std::to_string(dir_id) + "/after.txt:0:1:2");
        ++next_id;
        recorder.progress(d, d * 1000);
        expected.push_back("progress " + std::to_string(d) + " " + std::to_string(d * 1000));
    }
    return expected;
}

TEST_F(RecorderTest, WritesEverythingInTheWalksOrderOnItsOwnThread) {
    NotingDb db(file);
    const LogCallback log = [&](std::string_view line) {
        db.events.push_back("log " + std::string(line));
    };
    ScanRecorder recorder(db, 16, log);
    const std::vector<std::string> expected = record_tree(recorder);
    recorder.finish();
    EXPECT_EQ(db.events, expected);
    EXPECT_NE(db.writer, std::thread::id());
    EXPECT_NE(db.writer, std::this_thread::get_id());

    // A recorder that ends without writing anything.
    ScanRecorder idle(db, 16, log);
    idle.finish();
    EXPECT_EQ(db.events.size(), expected.size());
    EXPECT_THROW(idle.add_directory(16, "too deep", 0, 0), std::logic_error);
}

TEST_F(RecorderTest, AFailedWriteEndsTheWalkAndNothingAfterItIsWritten) {
    const LogCallback log = [](std::string_view) {};
    // The failure reaches the walking side while it hands over a later batch...
    {
        NotingDb db(file, "f500" + std::string(100, 'x'));
        ScanRecorder recorder(db, 16, log);
        try {
            record_tree(recorder);
            recorder.finish();
            FAIL() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "database or disk is full");
        }
        ASSERT_FALSE(db.events.empty());
        // d0/ is row 1, d0/sub/ row 2; the failing row is in the first directory.
        EXPECT_EQ(db.events.back(), "2/f499" + std::string(99, 'x') + ":0:499:500");
    }
    // ... or when it finishes, for a failure in the last batch.
    {
        NotingDb db(file, "last");
        ScanRecorder recorder(db, 16, log);
        recorder.add_file(0, "first", 1, 1);
        recorder.add_file(0, "last", 1, 1);
        recorder.add_file(0, "never", 1, 1);
        EXPECT_THROW(recorder.finish(), std::runtime_error);
        EXPECT_EQ(db.events, (std::vector<std::string>{"0/first:0:1:1"}));
    }
    // A walk that fails on its own side leaves the recorder without finishing it: it stops.
    {
        NotingDb db(file);
        auto recorder = std::make_unique<ScanRecorder>(db, 16, log);
        record_tree(*recorder);
        recorder.reset();
        EXPECT_LE(db.events.size(), 20u * 1004u);
    }
}

} // namespace
} // namespace vesk
