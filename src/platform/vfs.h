#pragma once
// Paths, files and file-system errors. This is the only road to the file system. The portable
// part of paths lives in vfs.cpp, the system calls in vfs_posix.cpp and vfs_win32.cpp.
//
// "Private" files and directories: on POSIX created with mode 0600 or 0700; on Windows they get
// no security descriptor of their own and inherit the access control lists of their directory.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// A file-system failure: the message, then " Details: " and the system's text for the code
// (the message alone when the code is 0).
class VfsException : public std::runtime_error {
public:
    VfsException(std::string_view message, uint32_t code);
    uint32_t code() const noexcept { return code_; }
    std::string toString() const { return what(); }

private:
    uint32_t code_;
};

// Attribute bits as reported by VfsPath::attributes.
inline constexpr uint32_t kAttributeReadOnly = 0x1;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeDevice = 0x40; // FIFOs, sockets and device nodes
inline constexpr uint32_t kAttributeNormal = 0x80;
inline constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;

// What is at a path, without following a symbolic link there.
enum class VfsEntryKind { Missing, File, Directory, Link, Other, Unknown };

// The facts of what a path itself names, as the directory walker reports them: a symbolic link
// (junction) is not followed; a directory has size 0; times are whole seconds since 1970, UTC.
struct VfsEntryFacts {
    VfsEntryKind kind = VfsEntryKind::Missing;
    uint64_t size = 0;
    int64_t modified_time = 0;
};

// One path in its normal form: UTF-8, slashes only, no repeated slashes, no trailing slash
// (except the root "/"). Backslashes in given texts become slashes. Relative paths stay relative
// to the current directory; dot components are kept literally.
//
// POSIX: absolute paths start with "/"; a leading "//" collapses to "/". The native form handed
// to the system calls is the normal form itself.
// Windows: absolute paths start with a drive ("C:/data/x"; "C:\" becomes the root "C:") or are
// UNC paths ("//server/share/x", whose two leading slashes are kept). The native form is the
// long-path form "\\?\C:\data\x" or "\\?\UNC\server\share\x" in UTF-16.
//
// Separator count: the number of slashes, except that the root "/" alone counts 0 and a UNC
// path counts 3 fewer (so "//server/share" counts 0 and "C:" counts 0). Components: the normal
// form cut at each of its slashes, where a path starting with "/" starts with the empty
// component ("/data/src" gives "", "data", "src"; "/" gives ""; "C:/data" gives "C:", "data";
// "//srv/share/x" gives "", "", "srv", "share", "x"); an empty path has no components.
// Joining the components, each followed by "/", rebuilds the path with a trailing slash.
class VfsPath {
public:
    static constexpr size_t kCapacity = 65'534;

    explicit VfsPath(bool throw_on_error, std::string_view text = {});
    VfsPath(const VfsPath& other);
    VfsPath& operator=(const VfsPath& other);
    VfsPath(VfsPath&&) noexcept = default;
    VfsPath& operator=(VfsPath&&) noexcept = default;

    // Replaces the path. A text longer than kCapacity is a failure and leaves the path unchanged.
    void set(std::string_view text);
    // Removes and returns the last component; returns "" and changes nothing when the separator
    // count is 0 (a root such as "/", "C:" or "//srv/share", a single relative name, the empty
    // path).
    std::string pop();
    // Adds a slash and the component (on the empty path the component alone).
    void append(std::string_view component);

    uint32_t attributes() const noexcept;
    bool is_directory() const noexcept;
    bool is_file() const noexcept; // a regular file (after following symbolic links)
    bool exists() const noexcept;
    // What the path itself names; a symbolic link is reported as a link, not followed.
    VfsEntryKind entry_kind() const noexcept;
    // Kind, size and modification time of what the path itself names (Missing or Unknown with
    // size and time 0 when it cannot be examined).
    VfsEntryFacts entry_facts() const noexcept;
    // The names of the directory's entries ("." and ".." left out), in no particular order.
    std::vector<std::string> list_names() const;
    // Removes what the path names and, for a directory, everything below it. Symbolic links
    // and junctions are removed themselves, never followed. Nothing there is no failure.
    void remove_tree() const;
    // The path made absolute against the current directory, lexically: "." components are
    // dropped, links are not resolved. The empty path stays empty.
    std::string absolute_copy() const;
    // True when both paths exist and name the same file or directory (links followed).
    bool same_entry_as(const VfsPath& other) const noexcept;
    bool is_absolute() const noexcept;

    // Renames this path to the destination, replacing an existing destination file atomically.
    void move_to(const VfsPath& destination) const;
    // Copies the file's contents and modification time into a new private file (mode 0600).
    // Neither path is followed through a symbolic link. Without overwrite the copy fails when
    // anything exists at the destination; with overwrite that entry is removed first, never
    // opened. A copy onto the source file itself fails. With flush the copy is on disk before
    // the call returns.
    void copy_to(const VfsPath& destination, bool overwrite, bool flush = false) const;
    void delete_file() const;
    void remove_directory() const;
    // New directories are private (mode 0700).
    void create_directory() const;
    void create_directories() const;
    // Makes the directory's entries durable (fsync of the directory), e.g. after a rename in it.
    // On Windows, where move_to writes through, it only checks that the directory is there.
    void flush_directory() const;

    std::string normal_copy() const { return normal_; }
    std::string_view normal_view() const noexcept { return normal_; }

    std::vector<std::string> components_copy() const;
    std::vector<std::string_view> components_view() const;

    int separator_count() const noexcept { return separator_count_; }
    // The last failure of this object (not cleared by later successes).
    const std::optional<VfsException>& last_error() const noexcept { return last_error_; }

private:
    bool fail(std::string_view message, uint32_t code) const;
    void normalize_from(size_t start);
    void recount_separators() noexcept;

    std::string normal_;
    int separator_count_ = 0;
    bool throw_on_error_;
    mutable std::optional<VfsException> last_error_;
};

// An open file for writing. Every failure throws VfsException.
class VfsFile {
public:
    // A new private file (mode 0600) for writing, held with an exclusive lock. What was at the
    // name is removed first (a symbolic link itself, never its target), and the file is created
    // exclusively, so no link planted at the name is ever followed.
    static std::unique_ptr<VfsFile> CreatePrivate(const VfsPath& path);
    ~VfsFile();
    VfsFile(const VfsFile&) = delete;
    VfsFile& operator=(const VfsFile&) = delete;

    // Releases the file; forgets it even when closing fails. A second call does nothing.
    void Close();
    // Writes all of the data, looping over partial writes; returns the bytes written.
    uint32_t Write(std::string_view data);
    uint32_t Write(const void* data, size_t size);
    void Flush(); // fsync, FlushFileBuffers
    const std::optional<VfsException>& last_error() const noexcept { return last_error_; }

private:
    // The open file as the operating system knows it; defined by the backend.
    struct Native;
    explicit VfsFile(std::unique_ptr<Native> native);
    [[noreturn]] void fail(std::string_view message, int code);

    std::unique_ptr<Native> native_;
    std::optional<VfsException> last_error_;
};

// Reads the first `max_bytes` bytes of a regular file (all of it when it is shorter), following
// symbolic links. Returns nothing when the path names no regular file: missing, a directory, a
// FIFO, a device or a socket. Such paths are never read from, and the open does not wait, so a
// FIFO without a writer cannot block the caller and an endless device cannot fill the memory.
// Throws VfsException when a regular file cannot be opened or read.
std::optional<std::string> read_regular_file_prefix(const VfsPath& path, size_t max_bytes);

// Appends the line to the file in one piece, so that concurrent writers never interleave inside
// it. The file is private (created with mode 0600) and must be a regular file: a symbolic link
// at its name is not followed, and a FIFO or device there is neither waited for nor written to.
// Throws VfsException.
void append_to_private_file(const std::string& file_name, std::string_view line);

// A new private directory below the system's directory for temporary files, removed with
// everything in it when the object goes (a failure to remove it then is ignored).
class VfsTemporaryDirectory {
public:
    // The directory's name starts with `prefix`. Throws VfsException.
    explicit VfsTemporaryDirectory(std::string_view prefix);
    ~VfsTemporaryDirectory();
    VfsTemporaryDirectory(const VfsTemporaryDirectory&) = delete;
    VfsTemporaryDirectory& operator=(const VfsTemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// An exclusive lock on a directory that keeps two processes apart (e.g. two runs on one
// destination). Released on destruction or when the process ends.
class VfsDirectoryLock {
public:
    // nullptr when another process holds the lock; throws VfsException on other failures.
    static std::unique_ptr<VfsDirectoryLock> try_lock(const VfsPath& directory);
    ~VfsDirectoryLock();
    VfsDirectoryLock(const VfsDirectoryLock&) = delete;
    VfsDirectoryLock& operator=(const VfsDirectoryLock&) = delete;

private:
    // The locked directory as the operating system knows it; defined by the backend.
    struct Native;
    explicit VfsDirectoryLock(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

} // namespace vesk
