#pragma once
// Test support: runs programs with arguments (no shell), capturing their output and exit status,
// makes scratch directories that are removed afterwards, and reads, writes and searches files.

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vesk::testing {

struct CommandResult {
    int status = -1; // the exit status, or 128 + the signal that ended the program
    std::string out;
    std::string err;
    double seconds = 0;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

inline void write_file(const std::filesystem::path& path, std::string_view content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// Sets the modification time of a file (not following a symbolic link on POSIX) to `seconds`
// since the epoch; on POSIX the access time too.
inline bool set_mtime(const std::filesystem::path& path, time_t seconds) {
#ifdef _WIN32
    std::error_code error;
    std::filesystem::last_write_time(
        path,
        std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds))),
        error);
    return !error;
#else
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
#endif
}

// A fresh directory under the system's temporary directory, removed with the object.
class ScratchDir {
public:
    ScratchDir() {
#ifdef _WIN32
        std::random_device random;
        do {
            path_ =
                std::filesystem::temp_directory_path() / ("vesk-test-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(path_));
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "vesk-test-XXXXXX");
        path_ = ::mkdtemp(pattern.data());
#endif
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
#ifndef _WIN32
        if (ignored) { // a tree deeper than the descriptor or path limits allow
            [[maybe_unused]] const int status =
                std::system(("rm -rf '" + path_.string() + "'").c_str());
        }
#endif
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const {
        return path_;
    }
    std::filesystem::path operator/(std::string_view name) const {
        return path_ / name;
    }

private:
    std::filesystem::path path_;
};

// The directories directly inside `path`, sorted by name.
inline std::vector<std::filesystem::path> sorted_subdirectories(const std::filesystem::path& path) {
    std::vector<std::filesystem::path> directories;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_directory()) {
            directories.push_back(entry.path());
        }
    }
    std::sort(directories.begin(), directories.end());
    return directories;
}

#ifndef _WIN32
// A program (no shell) started in a process group of its own, with extra environment variables,
// its input from /dev/null and its output captured in files, so that a test can kill it at a
// chosen moment, end whatever it left running, and learn its exit status and run time. A program
// that cannot start exits with 127.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                 const std::filesystem::path& work_dir = {})
        : start_(std::chrono::steady_clock::now()) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            const int out = ::open((capture_ / "out").c_str(), O_WRONLY | O_CREAT, 0600);
            const int err = ::open((capture_ / "err").c_str(), O_WRONLY | O_CREAT, 0600);
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            for (const std::string& variable : env) {
                ::putenv(const_cast<char*>(variable.c_str()));
            }
            if (!work_dir.empty() && ::chdir(work_dir.c_str()) != 0) {
                ::_exit(126);
            }
            std::vector<char*> argv;
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::setpgid(pid_, pid_); // also here, so that the group exists before we signal it
    }
    ~ChildProcess() {
        if (!waited_) {
            ::kill(-pid_, SIGKILL);
            wait();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Whether the program has ended (it is not reaped yet); notes when that was first seen.
    bool exited() {
        siginfo_t info{};
        const bool ended =
            ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid != 0;
        if (ended && seconds_ < 0) {
            seconds_ =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        }
        return ended;
    }

    // Kills the program itself, leaving its children running.
    void kill() const { ::kill(pid_, SIGKILL); }

    // Waits for the program. With `end_group`, whatever it left running in its group is killed
    // before it is reaped (while it is not reaped, its group id cannot pass to another process).
    CommandResult wait(bool end_group = true) {
        while (!exited()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (end_group) {
            ::kill(-pid_, SIGKILL);
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                read_file(capture_ / "out"), read_file(capture_ / "err"), seconds_};
    }

private:
    ScratchDir capture_;
    std::chrono::steady_clock::time_point start_;
    pid_t pid_ = -1;
    double seconds_ = -1;
    bool waited_ = false;
};

inline CommandResult run_command(const std::vector<std::string>& args,
                                 const std::filesystem::path& work_dir = {}) {
    return ChildProcess(args, {}, work_dir).wait(false);
}

#endif

} // namespace vesk::testing
