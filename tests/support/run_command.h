#pragma once
// Test support: runs a program with arguments (no shell), capturing its output and exit status,
// makes scratch directories that are removed afterwards, and reads, writes and searches files.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::testing {

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
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

// Sets both times of a file (not following a symbolic link) to `seconds` since the epoch.
inline bool set_mtime(const std::filesystem::path& path, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// How often `part` occurs in `text`, overlapping occurrences included.
inline size_t count_of(std::string_view text, std::string_view part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A fresh directory under the system's temporary directory, removed with the object.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vesk-test-XXXXXX");
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
        if (ignored) { // a tree deeper than the descriptor or path limits allow
            [[maybe_unused]] const int status =
                std::system(("rm -rf '" + path_.string() + "'").c_str());
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Starts a program (no shell) with its input from /dev/null and its output in the given files;
// with `own_group` in a process group of its own. A program that cannot start exits with 127.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& out_path,
                   const std::string& err_path, const std::vector<std::string>& env = {},
                   const std::filesystem::path& work_dir = {}, bool own_group = false) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (own_group) {
            ::setpgid(0, 0);
        }
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
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
    return pid;
}

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

inline CommandResult run_command(const std::vector<std::string>& args,
                                 const std::filesystem::path& work_dir = {}) {
    ScratchDir capture;
    const pid_t pid = spawn(args, capture / "out", capture / "err", {}, work_dir);
    int status = 0;
    ::waitpid(pid, &status, 0);
    CommandResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(capture / "out");
    result.err = read_file(capture / "err");
    return result;
}

} // namespace vesk::testing
