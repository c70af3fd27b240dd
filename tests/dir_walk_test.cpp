#include "platform/dir_walk.h"

#include <gtest/gtest.h>

#include "support/run_command.h"

#include "platform/vfs.h"

#include <algorithm>
#include <map>
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
using testing::set_mtime;
using testing::write_file;

// Records what the walker reports, with paths relative to the start directory.
struct Recorder {
    explicit Recorder(const fs::path& start) : root(start.generic_string()) {}
    std::string root;
    std::vector<std::string> events;
    std::vector<std::string> log;
    std::map<std::string, std::pair<uint64_t, int64_t>> facts;
    std::vector<std::string> open_dirs;
    std::function<bool(const WalkEntry&)> accept_dir = [](const WalkEntry&) { return true; };

    std::string relative(const WalkEntry& entry) const {
        const std::string full = entry.display_path();
        return full.size() > root.size() ? full.substr(root.size() + 1) : std::string();
    }

    WalkCallbacks callbacks() {
        WalkCallbacks cb;
        cb.enter_dir = [this](const WalkEntry& e) {
            EXPECT_TRUE(e.is_directory());
            events.push_back("D " + relative(e));
            open_dirs.push_back(relative(e));
            return accept_dir(e);
        };
        cb.visit_file = [this](const WalkEntry& e) {
            EXPECT_FALSE(e.is_directory());
            events.push_back("F " + relative(e));
            facts[relative(e)] = {e.size(), e.modified_time()};
            return true;
        };
        cb.leave_dir = [this](const WalkEntry& e) {
            // Every enter_dir is closed by a leave_dir for the same directory, innermost first.
            EXPECT_FALSE(open_dirs.empty());
            if (!open_dirs.empty()) {
                EXPECT_EQ(open_dirs.back(), relative(e));
                open_dirs.pop_back();
            }
            return true;
        };
        cb.log = [this](std::string_view line) { log.emplace_back(line); };
        return cb;
    }

    WalkCounts walk(bool skip_dots = true) {
        auto counts = VisitFiles({root}, callbacks(), skip_dots);
        EXPECT_TRUE(open_dirs.empty());
        std::sort(events.begin(), events.end());
        return counts;
    }
};

// A nested tree with its facts; every form of the start path reaches it, a start that is not a
// directory throws.
TEST(DirWalkTest, NestedTreeFactsAndStartForms) {
    ScratchDir tmp;
    fs::create_directory(tmp / "empty");
    write_file(tmp / "a/b/f.txt", "hello");
    write_file(tmp / "top.txt", std::string(70000, 'x'));
    ASSERT_TRUE(set_mtime(tmp / "a/b/f.txt", 1234567890) && set_mtime(tmp / "top.txt", 946684800));

    Recorder rec{tmp.path()};
    const WalkCounts counts = rec.walk();
    EXPECT_EQ(rec.events,
              (std::vector<std::string>{"D a", "D a/b", "D empty", "F a/b/f.txt", "F top.txt"}));
    EXPECT_EQ(rec.facts["a/b/f.txt"], (std::pair<uint64_t, int64_t>{5, 1234567890}));
    EXPECT_EQ(rec.facts["top.txt"], (std::pair<uint64_t, int64_t>{70000, 946684800}));
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(counts.special_files_skipped + counts.unreadable_dirs + counts.loops_not_entered, 0u);
    EXPECT_THROW(Recorder(tmp / "nope").walk(), std::runtime_error);
    EXPECT_THROW(Recorder(tmp / "top.txt").walk(), std::runtime_error);

    // Components split at "/" (a leading empty one for an absolute path, a drive "C:" on Windows;
    // a single one is the root directory) and a path relative to the working directory.
    std::vector<std::string> components{tmp.path().root_name().string()};
    const std::string root = components[0].empty() ? "/" : components[0];
    for (const fs::path& part : tmp.path().relative_path())
        components.push_back(part.string());
    int files = 0;
    bool saw_top = false;
    WalkCallbacks cb;
    cb.enter_dir = [&](const WalkEntry& e) {
        saw_top = saw_top || (e.name() == components[1] && e.directory_path() == root);
        return e.directory_path() != root;
    };
    cb.visit_file = [&](const WalkEntry&) { return ++files > 0; };
    cb.leave_dir = [](const WalkEntry&) { return true; };
    VisitFiles(components, cb, true);
    EXPECT_EQ(files, 2);
    VisitFiles({components[0]}, cb, true);
    EXPECT_TRUE(saw_top);
    const fs::path previous = fs::current_path();
    fs::current_path(tmp.path());
    files = 0;
    VisitFiles({"a", "b"}, cb, true);
    EXPECT_EQ(files, 1);
    fs::current_path(previous);
}

TEST(DirWalkTest, CallbacksControlDescentAndListing) {
    ScratchDir tmp;
    write_file(tmp / "skip/hidden.txt", "x");
    for (int i = 0; i < 20; ++i)
        write_file(tmp / ("stop/f" + std::to_string(i)), "x");
    write_file(tmp / "keep/k.txt", "x");

    WalkCallbacks cb;
    std::vector<std::string> files, dots;
    int stop_files = 0, leaves = 0;
    cb.enter_dir = [&](const WalkEntry& e) {
        const bool dot = e.name() == "." || e.name() == "..";
        if (dot && !e.directory_path().ends_with("/stop"))
            dots.emplace_back(e.name());
        return e.name() != "skip" && !dot;
    };
    cb.visit_file = [&](const WalkEntry& e) {
        files.emplace_back(e.name());
        // The first file of "stop" ends the listing of "stop" only.
        return !(e.directory_path().ends_with("/stop") && ++stop_files > 0);
    };
    cb.leave_dir = [&](const WalkEntry&) { return ++leaves > 0; };
    VisitFiles({tmp.path().generic_string()}, cb, false);

    EXPECT_EQ(stop_files, 1);
    EXPECT_EQ(files.size(), 2u); // one of "stop", none of "skip"
    EXPECT_EQ(std::count(files.begin(), files.end(), "k.txt"), 1);
    // Rejected directories get their leave_dir too; dot entries are reported when asked for.
    EXPECT_EQ(std::count(dots.begin(), dots.end(), "."), 2);
    EXPECT_EQ(std::count(dots.begin(), dots.end(), ".."), 2);
    EXPECT_GE(leaves, 3 + 4);
}

TEST(DirWalkTest, DirectoryThatCannotBeListedIsReportedAndLogged) {
    ScratchDir tmp;
    write_file(tmp / "gone/lost.txt", "x");
    write_file(tmp / "other/kept.txt", "x");

    // The directory disappears after it was reported and before it is opened.
    Recorder rec{tmp.path()};
    rec.accept_dir = [&](const WalkEntry& e) {
        if (e.name() == "gone") {
            EXPECT_EQ(fs::remove_all(tmp / "gone"), 2u);
        }
        return true;
    };
    const WalkCounts counts = rec.walk();
    EXPECT_EQ(rec.events, (std::vector<std::string>{"D gone", "D other", "F other/kept.txt"}));
    EXPECT_EQ(counts.unreadable_dirs, 1u);
    ASSERT_EQ(rec.log.size(), 1u);
    const std::string logged = "Cannot list directory '" + (tmp / "gone").generic_string() + "': ";
    EXPECT_EQ(rec.log[0].substr(0, logged.size()), logged);
#ifndef _WIN32
    EXPECT_EQ(rec.log[0], logged + "No such file or directory");
#endif
}

// Names of any bytes the system allows, and a directory whose listing takes many reads (about
// 300 KB of names); a directory chain with non-ASCII names and a path beyond 300 characters.
TEST(DirWalkTest, NamesAreBytes) {
    ScratchDir tmp;
    const std::string unicode = "Gr\u00fc\u00dfe \u65e5\u672c";
    std::vector<std::string> names = {"caf\xc3\xa9", unicode, "100%s%d", " leading",
                                      std::string(255, 'n')};
#ifndef _WIN32
    names.insert(names.end(), {"bad\xff\xfe", "line\nbreak", "back\\slash", "quote\"'"});
#endif
    for (int i = 0; i < 2000; ++i)
        names.push_back(std::to_string(i) + std::string(150, 'w'));
    std::vector<std::string> expected;
    for (const std::string& name : names) {
        write_file(tmp.path() / std::u8string(name.begin(), name.end()), "");
        expected.push_back("F " + name);
    }
    // Made through the long-path API, so that it works beyond 260 characters on Windows too.
    std::string deep = "deep";
    expected.push_back("D deep");
    for (int level = 0; level < 8; ++level) {
        deep += "/" + unicode + " " + std::string(30, 'd');
        expected.push_back("D " + deep);
    }
    const std::string base = tmp.path().generic_string() + "/";
    VfsPath(true, base + deep).create_directories();
    write_file(tmp / "source", "1234567");
    ASSERT_TRUE(set_mtime(tmp / "source", 1234567890));
    VfsPath(true, base + "source").copy_to(VfsPath(true, base + deep + "/f"), false);
    expected.insert(expected.end(), {"F " + deep + "/f", "F source"});
    ASSERT_GT(base.size() + deep.size(), 300u);

    Recorder rec{tmp.path()};
    rec.walk();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rec.events, expected);
    EXPECT_EQ(rec.facts[deep + "/f"], (std::pair<uint64_t, int64_t>{7, 1234567890}));

    EXPECT_EQ(escape_for_log("bad\xff\xfe/line\nbreak caf\xc3\xa9 %s"),
              "bad\\xFF\\xFE/line\\x0Abreak caf\xc3\xa9 %s");
    EXPECT_EQ(escape_for_log("cut\xc3"), "cut\\xC3");
}

#ifndef _WIN32
void make_link(const std::string& target, const fs::path& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

// Links of every kind are files with their own facts and are never followed; special files are
// left out.
TEST(DirWalkTest, LinksAndSpecialFiles) {
    ScratchDir tmp;
    ScratchDir outside;
    write_file(outside / "ext.txt", "abc");
    fs::create_directory(tmp / "a");
    make_link("..", tmp / "a/up");
    make_link(".", tmp / "a/self");
    make_link(outside.path(), tmp / "ext");
    make_link("missing-target", tmp / "dangling");
    make_link("a/up/a/up", tmp / "through");
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0644), 0);
    make_link("fifo", tmp / "fifo-link");
    write_file(tmp / "real.txt", "123456789012");
    make_link("real.txt", tmp / "file-link");
    ASSERT_TRUE(set_mtime(tmp / "real.txt", 1000000000) && set_mtime(tmp / "file-link", 1234));

    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock_path = tmp / "sock";
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    Recorder rec{tmp.path()};
    const WalkCounts counts = rec.walk();
    ::close(sock);

    EXPECT_EQ(rec.events,
              (std::vector<std::string>{"D a", "F a/self", "F a/up", "F dangling", "F ext",
                                        "F fifo-link", "F file-link", "F real.txt", "F through"}));
    // A link's size is the length of its target text; its time is its own.
    EXPECT_EQ(rec.facts["dangling"].first, std::string("missing-target").size());
    EXPECT_EQ(rec.facts["ext"].first, outside.path().string().size());
    EXPECT_EQ(rec.facts["file-link"], (std::pair<uint64_t, int64_t>{8, 1234}));
    EXPECT_EQ(counts.special_files_skipped, 2u);
    EXPECT_EQ(counts.loops_not_entered, 0u);
    EXPECT_TRUE(rec.log.empty());

    // The start path itself is followed when it is a link.
    make_link(tmp.path(), outside / "start-link");
    Recorder via_link{outside / "start-link"};
    via_link.walk();
    EXPECT_EQ(via_link.events, rec.events);
}

// Runs `check` in a child process once `prepare` succeeded there; 77 when it did not.
int run_in_child(const std::function<bool()>& prepare, const std::function<int()>& check) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(prepare() ? check() : 77);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

// Runs `check` as an unprivileged user when the test runs as root, since root reads everything.
int run_unprivileged(const std::function<int()>& check) {
    if (::geteuid() != 0)
        return check();
    return run_in_child([] { return ::setgid(65534) == 0 && ::setuid(65534) == 0; }, check);
}

// A directory met again below itself (here through a bind mount of the start directory, in a
// mount namespace of the test's own) is reported but not entered.
TEST(DirWalkTest, DirectoryOnTheWalkPathIsNotEnteredAgain) {
    ScratchDir tmp;
    write_file(tmp / "a/f", "x");
    fs::create_directory(tmp / "a/again");
    const auto bind = [&] {
        return ::unshare(CLONE_NEWNS) == 0 &&
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               ::mount(tmp.path().c_str(), (tmp / "a/again").c_str(), nullptr, MS_BIND, nullptr) ==
                   0;
    };
    const int result = run_in_child(bind, [&] {
        Recorder rec{tmp.path()};
        const WalkCounts counts = rec.walk();
        return rec.events == std::vector<std::string>{"D a", "D a/again", "F a/f"} &&
                       counts.loops_not_entered == 1 && rec.log.size() == 1
                   ? 0
                   : 1;
    });
    if (result == 77)
        GTEST_SKIP() << "cannot make a mount namespace";
    EXPECT_EQ(result, 0);
}

TEST(DirWalkTest, UnreadableDirectoryIsRecordedWithReason) {
    ScratchDir tmp;
    ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0); // reachable for the unprivileged user
    write_file(tmp / "locked/secret.txt", "x");
    ASSERT_EQ(::chmod((tmp / "locked").c_str(), 0), 0);
    write_file(tmp / "noexec/item", "x");
    ASSERT_EQ(::chmod((tmp / "noexec").c_str(), 0444), 0);

    // Exit codes: 0 ok, 1 wrong events, 2 wrong log.
    const int result = run_unprivileged([&] {
        Recorder rec{tmp.path()};
        const WalkCounts counts = rec.walk();
        if (rec.events != std::vector<std::string>{"D locked", "D noexec"})
            return 1;
        const std::string expected =
            "Cannot list directory '" + (tmp / "locked").string() + "': Permission denied";
        const bool logged = std::find(rec.log.begin(), rec.log.end(), expected) != rec.log.end();
        const bool examined = rec.log.size() == 2 &&
                              rec.log[rec.log[0] == expected ? 1 : 0].starts_with("Cannot examine");
        return logged && examined && counts.unreadable_dirs == 1 && counts.unreadable_entries == 1
                   ? 0
                   : 2;
    });
    ::chmod((tmp / "locked").c_str(), 0755);
    ::chmod((tmp / "noexec").c_str(), 0755);
    if (result == 77)
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    EXPECT_EQ(result, 0);
}

// A tree deeper than both the levels the walker keeps open and the descriptor limit, with paths
// longer than PATH_MAX, is walked completely: directories whose descriptors were given up are
// reopened relative to their child on the way back. (bench/scan_bench.sh -d measures far deeper
// chains, -e one directory of 200,000 entries.)
TEST(DirWalkTest, DeepTreeWithFewDescriptors) {
    ScratchDir tmp;
    constexpr int kDepth = 2200;
    int fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < kDepth; ++level) {
        ::close(::openat(fd, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::mkdirat(fd, "d", 0755);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(fd);

    for (const rlim_t limit : {200, 12}) {
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = limit;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        Recorder rec{tmp.path()};
        const WalkCounts counts = rec.walk();
        ::setrlimit(RLIMIT_NOFILE, &saved);

        EXPECT_TRUE(rec.log.empty()) << rec.log.front();
        EXPECT_EQ(counts.unreadable_dirs, 0u);
        ASSERT_EQ(rec.events.size(), 2u * kDepth);
        EXPECT_EQ(std::count_if(rec.events.begin(), rec.events.end(),
                                [](const std::string& event) { return event[0] == 'D'; }),
                  kDepth);
        // The deepest entries, their paths longer than PATH_MAX.
        EXPECT_EQ(std::ranges::max(rec.events, {}, &std::string::size).size(), 2u * kDepth + 1);
    }
}

#endif // !_WIN32

} // namespace
} // namespace vesk
