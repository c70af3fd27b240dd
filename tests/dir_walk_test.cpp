#include "platform/dir_walk.h"

#include <gtest/gtest.h>

#include "platform/vfs.h"
#include "support/case_file.h"
#include "support/run_command.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vesk {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
constexpr time_t kTime = 1234567890;

// Makes one entry below `root`: "dir PATH", "file SIZE PATH" (SIZE bytes, modified at kTime),
// "many COUNT DIR" (COUNT files with long names), and on POSIX "link TARGET PATH", "fifo PATH",
// "mode OCTAL PATH" (permissions) and "chain DEPTH DIR" (see below). PATH may hold the
// escapes of case files. Made through VfsPath, so that paths beyond 260 characters work on Windows
// too.
void make(const fs::path& root, const std::string& line) {
    const std::string kind = line.substr(0, line.find(' '));
    const size_t first = kind.size() + 1;
    const size_t at = kind == "dir" || kind == "fifo" ? first : line.find(' ', first) + 1;
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
    if (kind == "mode" && ::chmod(native, std::stoul(arg, nullptr, 8)) != 0)
        FAIL() << line;
    // Levels of "d", each with a file of its own name, so that some listings hold the file after
    // the subdirectory: entries left to examine after the walk climbed back.
    int fd = kind == "chain" ? ::open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    for (int level = 0; fd >= 0 && level < std::stoi(arg); ++level) {
        ::close(::openat(fd, std::to_string(level).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::mkdirat(fd, "d", 0755);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(fd);
#endif
}

// Walks the tree below `start` and tells what the walker reported, escaped, with the start shown
// as "@": "D DIR" and "F FILE SIZE MTIME" sorted (a line met N times more than once ends in
// " (N times)"; with the option "summary" only their numbers and the longest directory path),
// the counts, then the log lines sorted (each ending after the quoted path unless the options
// hold "reasons"); with the option "dots" the dot entries too. A directory named "skip..." is
// not entered, one named "gone" is removed when it is reported, the files of a directory "many"
// or "stop" show as DIR/*, and the first file of "stop" ends that listing. Every enter_dir must be
// closed by a leave_dir for the same directory, innermost first.
std::string walk(const std::vector<std::string>& start, const std::string& options = "reasons") {
    std::string root, out;
    for (size_t i = 0; i < start.size(); ++i)
        root += (i ? "/" : "") + start[i];
    const auto shown = [&](const std::string& text) {
        return testing::replace_all(text, root, "@");
    };
    const auto relative = [&](const WalkEntry& e) {
        return shown(escape_for_log(e.display_path())).substr(2);
    };
    std::vector<std::string> events, open, log;
    const auto event = [&](const WalkEntry& e, const std::string& path) {
        events.push_back(e.is_directory() ? "D " + path
                                          : "F " + path + " " + std::to_string(e.size()) + " " +
                                                std::to_string(e.modified_time()));
    };
    WalkCallbacks cb;
    cb.enter_dir = [&](const WalkEntry& e) {
        event(e, relative(e));
        open.push_back(relative(e));
        if (e.name() == "gone")
            fs::remove_all(std::string(e.display_path()));
        return !e.name().starts_with("skip") && e.name() != "." && e.name() != "..";
    };
    cb.visit_file = [&](const WalkEntry& e) {
        std::string path = relative(e);
        const bool stop = e.directory_path().ends_with("/stop");
        if (stop || e.directory_path().ends_with("/many"))
            path.replace(path.size() - e.name().size(), e.name().size(), "*");
        event(e, path);
        return !stop;
    };
    cb.leave_dir = [&](const WalkEntry& e) {
        if (open.empty() || open.back() != relative(e))
            log.push_back("leave_dir out of order: " + relative(e));
        open.resize(open.size() - !open.empty());
        return true;
    };
    cb.log = [&](std::string_view line) {
        const std::string text = shown(std::string(line));
        const bool reasons = options.find("reasons") != options.npos;
        log.push_back(reasons ? text : text.substr(0, text.find("': ") + 1));
    };
    WalkCounts c;
    try {
        c = VisitFiles(start, cb, options.find("dots") == options.npos);
    } catch (const std::runtime_error& error) {
        return shown(error.what()).substr(0, shown(error.what()).find(" Details:"));
    }
    std::sort(events.begin(), events.end());
    for (const std::string& dir : open)
        log.push_back("no leave_dir: " + dir);
    if (options.find("summary") != options.npos) {
        size_t dirs = 0, longest = 0;
        for (const std::string& e : events)
            longest = e[0] == 'D' && ++dirs ? std::max(longest, e.size() - 2) : longest;
        events = {std::to_string(dirs) + " directories, " + std::to_string(events.size() - dirs) +
                  " files, the longest directory path " + std::to_string(longest) + " bytes"};
    }
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
// "start PATH" names; lines "dots", "reasons" and "summary" are options of walk. On POSIX the
// walk runs in a child process when a line asks for one of its settings there: "as nobody" (an
// unprivileged user when the test runs as root, who reads everything), "bind PATH" (the tree's
// top mounted at PATH, in a mount namespace of its own), "limit N" (at most N descriptors).
std::string walk_case(std::string_view text) {
    ScratchDir tmp;
    std::string start = tmp.path().generic_string(), options;
    std::function<bool()> prepare;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("start "))
            start += "/" + line.substr(6);
        else if (line == "dots" || line == "reasons" || line == "summary")
            options += line + " ";
#ifndef _WIN32
        else if (line == "as nobody")
            prepare = [] {
                return ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0);
            };
        else if (line.starts_with("bind "))
            prepare = [top = tmp.path().string(), at = (tmp / line.substr(5)).string()] {
                return ::unshare(CLONE_NEWNS) == 0 &&
                       ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       ::mount(top.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
            };
        else if (line.starts_with("limit "))
            prepare = [limit = std::stoul(line.substr(6))] {
                const rlimit low{limit, limit};
                return ::setrlimit(RLIMIT_NOFILE, &low) == 0;
            };
#endif
        else
            make(tmp.path(), line);
    }
#ifndef _WIN32
    if (prepare) { // the child's outcome comes back through a file beside the tree
        const fs::path outcome = tmp.path().string() + ".out";
        if (::fork() == 0) {
            std::ofstream(outcome) << (prepare() ? walk({start}, options) : "cannot prepare");
            ::_exit(0);
        }
        ::wait(nullptr);
        const std::string out = testing::read_file(outcome);
        fs::remove(outcome);
        return out;
    }
#endif
    return walk({start}, options);
}

TEST(DirWalkTest, Cases) {
    testing::check_cases("dir_walk_cases.txt", {{"walk", walk_case}});
#ifndef _WIN32
    testing::check_cases("dir_walk_cases_posix.txt", {{"walk", walk_case}});
#endif
}

// The root directory as a single component (an empty one, a drive "C:" on Windows), and a path
// relative to the working directory. (Starts split into components are what the scanner passes:
// see select_files_test.)
TEST(DirWalkTest, StartForms) {
    ScratchDir tmp;
    make(tmp.path(), "file 5 a/b/f.txt");
    const std::string drive = tmp.path().root_name().string();
    const fs::path top = *tmp.path().relative_path().begin();
    bool saw_top = false;
    WalkCallbacks cb;
    cb.enter_dir = [&](const WalkEntry& e) {
        saw_top = saw_top ||
                  (e.name() == top.string() && e.directory_path() == (drive.empty() ? "/" : drive));
        return false;
    };
    cb.visit_file = cb.leave_dir = [](const WalkEntry&) { return true; };
    VisitFiles({drive}, cb, true);
    EXPECT_TRUE(saw_top);

    const fs::path previous = fs::current_path();
    fs::current_path(tmp.path());
    EXPECT_EQ(walk({"a", "b"}), "F f.txt 5 1234567890\ncounts 0 0 0 0");
    fs::current_path(previous);
}

} // namespace
} // namespace vesk
