#include "platform/dir_walk.h"

#include <gtest/gtest.h>

#include "platform/vfs.h"
#include "support/case_file.h"
#include "support/run_command.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
constexpr time_t kTime = 1234567890;

// Makes one entry below `root`: "dir PATH", "file SIZE PATH" (SIZE bytes, modified at kTime),
// "many COUNT DIR" (COUNT files with long names), and on POSIX "link TARGET PATH", "fifo PATH"
// and "sock PATH". PATH may hold the escapes of case files. Made through VfsPath, so that paths
// beyond 260 characters work on Windows too.
void make(const fs::path& root, const std::string& line) {
    const std::string kind = line.substr(0, line.find(' '));
    const size_t first = kind.size() + 1;
    const size_t at =
        kind == "file" || kind == "many" || kind == "link" ? line.find(' ', first) + 1 : first;
    const std::string arg = line.substr(first, at - first - 1), base = root.generic_string() + "/";
    const VfsPath path(true, base + testing::unescape(line.substr(at)));
    VfsPath parent = path;
    parent.pop();
    (kind == "dir" || kind == "many" ? path : parent).create_directories();
    for (int i = 0; kind == "many" && i < std::stoi(arg); ++i) {
        const fs::path file =
            fs::path(path.normal_copy()) / (std::to_string(i) + std::string(150, 'w'));
        testing::write_file(file, "");
        ASSERT_TRUE(testing::set_mtime(file, kTime));
    }
    if (kind == "file") {
        testing::write_file(root / ".new", std::string(std::stoul(arg), 'x'));
        ASSERT_TRUE(testing::set_mtime(root / ".new", kTime));
        VfsPath(true, base + ".new").move_to(path);
    }
#ifndef _WIN32
    const char* native = path.normal_view().data();
    if (kind == "link" &&
        (::symlink(arg.c_str(), native) != 0 || !testing::set_mtime(native, kTime)))
        FAIL() << line;
    if (kind == "fifo" && ::mkfifo(native, 0644) != 0)
        FAIL() << line;
    if (kind == "sock") {
        const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::copy(path.normal_view().begin(), path.normal_view().end(), addr.sun_path);
        ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(sock);
    }
#endif
}

// Walks the tree below `start` and tells what the walker reported, escaped, with the start shown
// as "@": "D DIR" and "F FILE SIZE MTIME" sorted (a line met N times more than once ends in
// " (N times)"), the counts, then the log lines sorted (with `reasons`; else each ends after the
// quoted path). A directory named "skip..." is not entered, one named "gone" is removed when
// it is reported, the files of a directory "many" or "stop" show as DIR/*, and the first file
// of "stop" ends that listing. Every enter_dir must be closed by a leave_dir for the same
// directory, innermost first.
std::string walk(const std::vector<std::string>& start, bool dots = false, bool reasons = true) {
    std::string root, out;
    for (size_t i = 0; i < start.size(); ++i)
        root += (i ? "/" : "") + start[i];
    const auto shown = [&](std::string text) {
        for (size_t at; (at = text.find(root)) != text.npos;)
            text.replace(at, root.size(), "@");
        return text;
    };
    const auto relative = [&](const WalkEntry& e) {
        return shown(escape_for_log(e.display_path())).substr(2);
    };
    std::vector<std::string> events, open, log;
    WalkCallbacks cb;
    cb.enter_dir = [&](const WalkEntry& e) {
        EXPECT_TRUE(e.is_directory());
        events.push_back("D " + relative(e));
        open.push_back(relative(e));
        if (e.name() == "gone")
            fs::remove_all(std::string(e.display_path()));
        return !e.name().starts_with("skip") && e.name() != "." && e.name() != "..";
    };
    cb.visit_file = [&](const WalkEntry& e) {
        EXPECT_FALSE(e.is_directory());
        std::string path = relative(e);
        const bool stop = e.directory_path().ends_with("/stop");
        if (stop || e.directory_path().ends_with("/many"))
            path.replace(path.size() - e.name().size(), e.name().size(), "*");
        events.push_back("F " + path + " " + std::to_string(e.size()) + " " +
                         std::to_string(e.modified_time()));
        return !stop;
    };
    cb.leave_dir = [&](const WalkEntry& e) {
        EXPECT_EQ(open.empty() ? "" : open.back(), relative(e));
        open.resize(open.size() - !open.empty());
        return true;
    };
    cb.log = [&](std::string_view line) {
        const std::string text = shown(std::string(line));
        log.push_back(reasons ? text : text.substr(0, text.find("': ") + 1));
    };
    WalkCounts c;
    try {
        c = VisitFiles(start, cb, !dots);
    } catch (const std::runtime_error& error) {
        return shown(error.what()).substr(0, shown(error.what()).find(" Details:"));
    }
    EXPECT_TRUE(open.empty());
    std::sort(events.begin(), events.end());
    for (size_t i = 0, n = 1; i < events.size(); i += n, n = 1) {
        while (i + n < events.size() && events[i + n] == events[i])
            ++n;
        out += events[i] + (n > 1 ? " (" + std::to_string(n) + " times)\n" : "\n");
    }
    out += "counts " + std::to_string(c.special_files_skipped) + " " +
           std::to_string(c.unreadable_dirs) + " " + std::to_string(c.loops_not_entered) + " " +
           std::to_string(c.unreadable_entries);
    std::sort(log.begin(), log.end());
    for (const std::string& line : log)
        out += "\n" + line;
    return out;
}

// A tree made of the input's lines (see make), walked from its top, or from the path a line
// "start PATH" names; a line "dots" asks for the dot entries.
std::string walk_case(std::string_view text) {
    ScratchDir tmp;
    std::string start = tmp.path().generic_string();
    bool dots = false;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        dots = dots || line == "dots";
        if (line.starts_with("start "))
            start += "/" + line.substr(6);
        else if (line != "dots")
            make(tmp.path(), line);
    }
    return walk({start}, dots, false);
}

TEST(DirWalkTest, Cases) {
    testing::check_cases("dir_walk_cases.txt", {{"walk", walk_case}});
#ifndef _WIN32
    testing::check_cases("dir_walk_cases_posix.txt", {{"walk", walk_case}});
#endif
}

// Components split at "/" (a leading empty one for an absolute path, a drive "C:" on Windows),
// the root directory as a single component, and a path relative to the working directory.
TEST(DirWalkTest, StartForms) {
    ScratchDir tmp;
    make(tmp.path(), "file 5 a/b/f.txt");
    std::vector<std::string> components{tmp.path().root_name().string()};
    for (const fs::path& part : tmp.path().relative_path())
        components.push_back(part.string());
    EXPECT_EQ(walk(components), "D a\nD a/b\nF a/b/f.txt 5 1234567890\ncounts 0 0 0 0");

    bool saw_top = false;
    WalkCallbacks cb;
    cb.enter_dir = [&](const WalkEntry& e) {
        const std::string root = components[0].empty() ? "/" : components[0];
        saw_top = saw_top || (e.name() == components[1] && e.directory_path() == root);
        return false;
    };
    cb.visit_file = cb.leave_dir = [](const WalkEntry&) { return true; };
    VisitFiles({components[0]}, cb, true);
    EXPECT_TRUE(saw_top);

    const fs::path previous = fs::current_path();
    fs::current_path(tmp.path());
    EXPECT_EQ(walk({"a", "b"}), "F f.txt 5 1234567890\ncounts 0 0 0 0");
    fs::current_path(previous);
}

#ifndef _WIN32
// Runs `check` in a child process once `prepare` succeeded there; 77 when it did not.
int run_in_child(const std::function<bool()>& prepare, const std::function<bool()>& check) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(prepare() ? !check() : 77);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

// A directory met again below itself (here through a bind mount of the start directory, in a
// mount namespace of the test's own) is reported but not entered.
TEST(DirWalkTest, DirectoryOnTheWalkPathIsNotEnteredAgain) {
    ScratchDir tmp;
    make(tmp.path(), "file 1 a/f");
    make(tmp.path(), "dir a/again");
    const auto bind = [&] {
        return ::unshare(CLONE_NEWNS) == 0 &&
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               ::mount(tmp.path().c_str(), (tmp / "a/again").c_str(), nullptr, MS_BIND, nullptr) ==
                   0;
    };
    const int result = run_in_child(bind, [&] {
        return walk({tmp.path()}) == "D a\nD a/again\nF a/f 1 1234567890\ncounts 0 0 1 0\nNot "
                                     "entering directory '@/a/again': it is already on the walk "
                                     "path (link loop).";
    });
    if (result == 77)
        GTEST_SKIP() << "cannot make a mount namespace";
    EXPECT_EQ(result, 0);
}

// As an unprivileged user when the test runs as root, since root reads everything.
TEST(DirWalkTest, UnreadableDirectoryIsRecordedWithReason) {
    ScratchDir tmp;
    make(tmp.path(), "file 1 locked/secret.txt");
    make(tmp.path(), "file 1 noexec/item");
    ASSERT_EQ(::chmod(tmp.path().c_str(), 0755) | ::chmod((tmp / "locked").c_str(), 0) |
                  ::chmod((tmp / "noexec").c_str(), 0444),
              0);
    const int result = run_in_child(
        [] { return ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0); },
        [&] {
            return walk({tmp.path()}) ==
                   "D locked\nD noexec\ncounts 0 1 0 1\nCannot examine '@/noexec/item': Permission "
                   "denied\nCannot list directory '@/locked': Permission denied";
        });
    if (result == 77)
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    EXPECT_EQ(result, 0);
}

// A tree deeper than both the levels the walker keeps open and the descriptor limit, with paths
// longer than PATH_MAX, is walked completely: directories whose descriptors were given up are
// reopened relative to their child on the way back. Each level's file has its own name, so that
// some listings hold it after the subdirectory: entries left to examine after the climb back.
// (bench/scan_bench.sh -d measures far deeper chains, -e one directory of 200,000 entries.)
TEST(DirWalkTest, DeepTreeWithFewDescriptors) {
    ScratchDir tmp;
    constexpr int kDepth = 2200;
    std::string deepest = "\nD d";
    int fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < kDepth; ++level) {
        ::close(::openat(fd, std::to_string(level).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::mkdirat(fd, "d", 0755);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        deepest += level ? "/d" : "";
    }
    ::close(fd);
    for (const rlim_t limit : {200, 12}) {
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = limit;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        const std::string out = walk({tmp.path()});
        ::setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 * kDepth);
        EXPECT_TRUE(out.ends_with("\ncounts 0 0 0 0")) << out.substr(out.rfind("counts"));
        EXPECT_NE(out.find(deepest + "\n"), out.npos);
    }
}
#endif // !_WIN32

} // namespace
} // namespace vesk
