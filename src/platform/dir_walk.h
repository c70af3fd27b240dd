#pragma once
// Depth-first walker over a directory tree, and the identity of a file-system entry. The walk
// lists every directory relative to its parent's handle and examines every entry relative to it,
// so it never builds or resolves a full path and has no depth or path-length limit of its own.
// The backends live in dir_walk_posix.cpp and dir_walk_win32.cpp.

#include "platform/log_callback.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// Tells one file or directory apart from every other on the system while both exist: the device
// and inode on POSIX; the volume serial number and the 64-bit file index on Windows, where the
// walker gives directories only an identity (files report all zeros).
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file_low = 0;
    uint64_t file_high = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the directory at `path` (symbolic links followed); nothing when the path
// names no directory or cannot be examined.
std::optional<FileIdentity> directory_identity(const std::string& path);

// The entry the walker is reporting. Views are valid only during the callback.
class WalkEntry {
public:
    std::string_view name() const { return name_; }
    bool is_directory() const { return is_directory_; }
    // Bytes of a file (of a symbolic link: its target text on POSIX, the size the directory
    // listing reports for the link on Windows); 0 for a directory, whatever block size
    // the file system reports for it, so that size selections treat directories alike on every
    // platform.
    uint64_t size() const { return size_; }
    // Last modification in whole seconds since 1970-01-01 UTC.
    int64_t modified_time() const { return modified_time_; }
    const FileIdentity& identity() const { return identity_; }
    // The directory being listed, as the start path followed by "/" and the names below it.
    std::string_view directory_path() const { return directory_path_; }
    // directory_path() + "/" + name(), for messages.
    std::string display_path() const;

private:
    friend class DirWalker;
    std::string_view name_;
    std::string_view directory_path_;
    bool is_directory_ = false;
    uint64_t size_ = 0;
    int64_t modified_time_ = 0;
    FileIdentity identity_;
};

using WalkCallback = std::function<bool(const WalkEntry&)>;

struct WalkCallbacks {
    // A directory was found; return true to descend into it.
    WalkCallback enter_dir;
    // A regular file or a symbolic link (to anything, or dangling) was found; return false to
    // stop listing its directory.
    WalkCallback visit_file;
    // Called after every directory reported by enter_dir, entered or not; return false to stop
    // listing the directory that holds it.
    WalkCallback leave_dir;
    // Receives one line for each entry the walk could not handle as asked. May be empty.
    LogCallback log;
};

// What the walk left out, for the run log.
struct WalkCounts {
    uint64_t special_files_skipped = 0; // FIFOs, sockets and device nodes
    uint64_t unreadable_dirs = 0;       // recorded, but could not be listed
    uint64_t loops_not_entered = 0;     // already on the walk path (a bind mount of an ancestor)
    uint64_t unreadable_entries = 0;    // could not be examined (for example no search right)
    uint64_t vanished_entries = 0;      // listed, then gone before they were examined
};

// Walks the tree below the directory named by `start_components` (joined by "/"; a leading
// empty component or a leading "/" makes the path absolute, empty components are ignored).
// "." and ".." are reported as directories unless `skip_dot_entries` is set. The start path is
// followed even when it is, or passes through, a symbolic link. Below it, a symbolic link is
// reported as a file with the link's own facts (its size is the length of its target text),
// whatever it points to, and is never followed; FIFOs, sockets and devices are not reported. A
// directory that is already on the current walk path (reached again through a bind mount) is
// reported but never entered. Throws std::runtime_error when the start directory cannot be opened.
// On Windows the components are those of VfsPath::components_copy: "C:" starts a drive path, two
// leading empty components a UNC path ("", "", "server", "share"); junctions count as symbolic
// links, and "." and ".." are never entered.
WalkCounts VisitFiles(const std::vector<std::string>& start_components,
                      const WalkCallbacks& callbacks, bool skip_dot_entries);

// Makes a name safe to show on one log line: control bytes and bytes that are not part of a
// valid UTF-8 sequence become "\xNN".
std::string escape_for_log(std::string_view text);

} // namespace vesk
