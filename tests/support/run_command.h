#pragma once
// Test support: the result of a program run (support/child_process.h runs programs), scratch
// directories that are removed afterwards, and reads, writes and searches files.

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::testing {

struct CommandResult {
    int status = -1; // the exit status, or 128 + the signal that ended the program
    std::string out;
    std::string err;
    double seconds = 0;
};

// Paths to and from the UTF-8 texts the program works with (MinGW's paths take a plain string
// in the ANSI code page).
inline std::filesystem::path path_of(std::string_view utf8) {
    return std::u8string(utf8.begin(), utf8.end());
}
inline std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.generic_u8string();
    return {text.begin(), text.end()};
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
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
        std::random_device random;
        do {
            path_ =
                std::filesystem::temp_directory_path() / ("vesk-test-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(path_));
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

} // namespace vesk::testing
