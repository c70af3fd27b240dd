#include <cerrno>
#include <gtest/gtest.h>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/exceptions.h"
#include "platform/vfs.h"
#include "support/case_file.h"
#include "support/run_command.h"

namespace vesk {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::set_mtime;
using testing::write_file;

// The system's codes for: a path text too long, a directory that exists, a file that exists,
// nothing at the name.
#ifdef _WIN32
constexpr int kTooLong = 206, kDirectoryExists = 183, kFileExists = 80, kMissing = 2;
constexpr const char* kCases = "vfs_cases_win32.txt";
#else
constexpr int kTooLong = ENAMETOOLONG, kDirectoryExists = EEXIST, kFileExists = EEXIST,
              kMissing = ENOENT;
constexpr const char* kCases = "vfs_cases.txt";
#endif

std::string details(int code) {
    return " Details: " + system_error_text(code);
}

// The message `action` throws as a VfsException, or "no error".
template <typename Action>
std::string vfs_error(Action action) {
    try {
        action();
    } catch (const VfsException& error) {
        return error.what();
    }
    return "no error";
}

// Normal forms, components and separator counts of path texts, and appends and pops that
// change a path in place (see tests/data/vfs_cases.txt).
TEST(VfsPath, NormalFormsAppendsAndPops) {
    const auto shown = [](const VfsPath& path) {
        return std::string(path.normal_view()) + " " + std::to_string(path.separator_count());
    };
    const auto path_facts = [&](std::string_view text) {
        const VfsPath path(true, text);
        const std::string normal(path.normal_view());
        std::string components, rebuilt; // what a walker does: each component and a slash
        for (const std::string& component : path.components_copy())
            components += "[" + component + "]";
        for (const auto& component : path.components_view())
            rebuilt += std::string(component) + "/";
        EXPECT_EQ(rebuilt, normal == "/" || normal.empty() ? normal : normal + "/");
        return shown(path) + " " + components;
    };
    const auto steps = [&](std::string_view text) {
        std::istringstream lines{std::string(text)};
        std::string line, result;
        std::getline(lines, line);
        VfsPath path(true, line);
        const char* buffer = path.normal_view().data();
        while (std::getline(lines, line)) {
            if (line.starts_with('+'))
                path.append(line.substr(1));
            else
                result += "[" + std::string(path.pop()) + "] ";
            result += shown(path) + "\n";
        }
        EXPECT_EQ(path.normal_view().data(), buffer); // changed in place
        return result.substr(0, result.size() - 1);
    };
    testing::check_cases(kCases, {{"path", path_facts}, {"steps", steps}});
}

TEST(VfsPath, OverlongOrBrokenTextsAreRejectedWithoutChange) {
    VfsPath path(true, "/keep");
    const std::string too_long(VfsPath::kCapacity + 1, 'a');
    EXPECT_EQ(vfs_error([&] { path.set(too_long); }),
              "Path text longer than 65534 bytes." + details(kTooLong));
    EXPECT_EQ(path.normal_view(), "/keep");
    EXPECT_THROW(path.append(std::string(VfsPath::kCapacity - 5, 'b')), VfsException);
    EXPECT_EQ(path.normal_view(), "/keep");
    path.append(std::string(VfsPath::kCapacity - 6, 'b')); // exactly full
    EXPECT_EQ(path.normal_view().size(), VfsPath::kCapacity);
    EXPECT_THROW(path.set(std::string("/a\0b", 4)), VfsException);

    VfsPath quiet(false, "/keep");
    quiet.set(too_long);
    ASSERT_TRUE(quiet.last_error().has_value());
    EXPECT_EQ(quiet.last_error()->code(), static_cast<uint32_t>(kTooLong));
    EXPECT_EQ(quiet.normal_view(), "/keep");
}

class VfsFileSystem : public ::testing::Test {
protected:
    std::string at(std::string_view name) const { return (dir_ / name).generic_string(); }
    ScratchDir dir_;
};

TEST_F(VfsFileSystem, AttributeQueriesNeverThrow) {
    write_file(at("file"), "x");
    const VfsPath file(true, at("file")), directory(true, dir_.path().string()),
        missing(true, at("missing/deeper"));
    EXPECT_TRUE(file.is_file() && file.exists() && !file.is_directory());
    EXPECT_EQ(file.attributes(), kAttributeNormal);
    EXPECT_TRUE(directory.is_directory() && directory.exists() && !directory.is_file());
    EXPECT_TRUE(!missing.exists() && !missing.is_file() && !missing.is_directory());
    EXPECT_EQ(missing.attributes(), kInvalidAttributes);
#ifndef _WIN32
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    const VfsPath fifo(true, at("fifo"));
    EXPECT_TRUE(fifo.exists() && !fifo.is_file() && !fifo.is_directory());
#endif
    EXPECT_TRUE(VfsPath(true, "/").is_directory());
}

TEST_F(VfsFileSystem, CreateDirectoriesForAbsoluteAndRelativePaths) {
    ASSERT_TRUE(std::filesystem::create_directory(at("a")));
    VfsPath deep(true, at("a/b c/Ünï"));
    deep.create_directories();
    EXPECT_TRUE(deep.is_directory());
    deep.create_directories(); // an existing tree is fine
    VfsPath(true, "/").create_directories();

    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    VfsPath(true, "rel one/two").create_directories();
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "rel one/two"));

    write_file(at("blocker"), "");
    EXPECT_EQ(vfs_error([&] { VfsPath(true, at("blocker/sub")).create_directories(); }),
              "Failed creating directory '" + at("blocker") + "'." + details(kDirectoryExists));
    VfsPath quiet(false, at("blocker/sub"));
    quiet.create_directories();
    EXPECT_TRUE(quiet.last_error().has_value());
}

TEST_F(VfsFileSystem, CopyMoveDeleteAndTheirMessages) {
    const VfsPath source(true, at("index.db")), target(true, at("copy.db"));
    write_file(at("index.db"), "committed index");
    ASSERT_TRUE(set_mtime(at("index.db"), 1'400'000'000));
    source.copy_to(target, false);
    EXPECT_EQ(read_file(at("copy.db")), "committed index");
    const auto copied_time = std::filesystem::last_write_time(at("copy.db"));
    EXPECT_EQ(std::chrono::file_clock::to_sys(copied_time).time_since_epoch(),
              std::chrono::seconds(1'400'000'000));

    write_file(at("copy.db"), "newer and much longer contents");
    EXPECT_EQ(vfs_error([&] { source.copy_to(target, false); }),
              "Failed copying '" + at("index.db") + "' to '" + at("copy.db") + "'." +
                  details(kFileExists));
    EXPECT_EQ(read_file(at("copy.db")), "newer and much longer contents");
    source.copy_to(target, true);
    EXPECT_EQ(read_file(at("copy.db")), "committed index"); // shorter copy truncates

    EXPECT_THROW(source.copy_to(source, true), VfsException);
    EXPECT_EQ(read_file(at("index.db")), "committed index"); // a copy onto itself loses nothing
    EXPECT_THROW(VfsPath(true, at("nothing")).copy_to(VfsPath(true, at("made")), false),
                 VfsException);
    EXPECT_FALSE(std::filesystem::exists(at("made")));

    VfsPath moved(true, at("moved.db"));
    write_file(at("moved.db"), "old");
    VfsPath(true, at("copy.db")).move_to(moved); // replaces the destination
    EXPECT_EQ(read_file(at("moved.db")), "committed index");
    EXPECT_FALSE(target.exists());
    moved.delete_file();
    EXPECT_FALSE(moved.exists());
    EXPECT_EQ(vfs_error([&] { moved.delete_file(); }),
              "Failed deleting '" + at("moved.db") + "'." + details(kMissing));

    VfsPath run_dir(true, at("run"));
    run_dir.create_directory();
    EXPECT_THROW(run_dir.create_directory(), VfsException);
    write_file(at("run/log.txt"), "");
    EXPECT_THROW(run_dir.remove_directory(), VfsException);
    VfsPath(true, at("run/log.txt")).delete_file();
    run_dir.flush_directory();
    run_dir.remove_directory();
    EXPECT_FALSE(run_dir.exists());
    EXPECT_THROW(run_dir.flush_directory(), VfsException);
}

TEST_F(VfsFileSystem, DirectoryLockKeepsOtherHoldersOut) {
    const VfsPath destination(true, dir_.path().string());
    {
        auto lock = VfsDirectoryLock::try_lock(destination);
        ASSERT_NE(lock, nullptr);
        EXPECT_EQ(VfsDirectoryLock::try_lock(destination), nullptr);
    }
    EXPECT_THROW(VfsDirectoryLock::try_lock(VfsPath(true, at("missing"))), VfsException);
#ifndef _WIN32 // another process
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        auto lock = VfsDirectoryLock::try_lock(destination);
        char ok = lock ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    EXPECT_EQ(VfsDirectoryLock::try_lock(destination), nullptr);
    ::kill(holder, SIGKILL); // the lock dies with its process
    ::waitpid(holder, nullptr, 0);
    EXPECT_NE(VfsDirectoryLock::try_lock(destination), nullptr);
    ::close(ready[0]);
    ::close(ready[1]);
#endif
}

TEST_F(VfsFileSystem, PrivateFileWriteFlushAndClose) {
    const VfsPath path(true, at("data.bin"));
    auto file = VfsFile::CreatePrivate(path);
    const std::string payload(3 * 1024 * 1024 + 17, 'p');
    EXPECT_EQ(file->Write(payload), payload.size());
    file->Flush();
    file->Close();
    file->Close(); // a second close does nothing
    EXPECT_EQ(read_file(at("data.bin")), payload);
}

} // namespace
} // namespace vesk
