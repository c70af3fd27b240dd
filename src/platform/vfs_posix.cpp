// POSIX implementation of paths, files and directory locks.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/path_syntax.h"
#include "platform/posix/unique_fd.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

// The path as the system calls take it: the normal form itself (a std::string, so the view's
// data is zero-terminated).
const char* native(const VfsPath& path) {
    return path.normal_view().data();
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes everything or returns the errno value of the failure.
int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : ENOSPC;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

int copy_by_read_write(int from, int to) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : 0;
        }
        if (const int error = write_all(to, buffer.data(), static_cast<size_t>(got))) {
            return error;
        }
    }
}

// Copies the rest of `from` into `to`; the kernel copies directly where it can.
int copy_contents(int from, int to) {
    bool copied_any = false;
    for (;;) {
        const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (copied > 0) {
            copied_any = true;
            continue;
        }
        if (copied == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                                 errno == EOPNOTSUPP || errno == EPERM;
        return unsupported && !copied_any ? copy_by_read_write(from, to) : errno;
    }
}

// Files and directories this process creates are private to the user that runs it; the umask
// may only narrow these modes.
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirectoryMode = 0700;

// Removes whatever is at the path (a link itself, never its target); a missing entry is fine.
int remove_entry(const char* path) {
    return ::unlink(path) == 0 || errno == ENOENT ? 0 : errno;
}

// Creates a new private file; an existing entry at the name, a symbolic link included, makes
// the call fail instead of being followed or reused.
int create_exclusive(const char* path, int access) {
    return open_retrying(path, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         kPrivateFileMode);
}

// A directory stream that closes on destruction.
struct DirCloser {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool is_dot_entry(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Reads the names of a directory stream but "." and ".."; returns 0 or the errno value of a
// failure, so that a listing cut short is not taken for the whole directory.
int read_names(DIR* directory, std::vector<std::string>& names) {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            return errno;
        }
        if (!is_dot_entry(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
}

// Removes everything inside the open directory; returns 0 or the errno value of the first
// failure. Entries are examined relative to the directory and links are never followed, so a
// link planted inside cannot lead the removal elsewhere.
int remove_directory_contents(int directory_fd) {
    UniqueFd listing_fd(::dup(directory_fd));
    if (!listing_fd.valid()) {
        return errno;
    }
    UniqueDir listing(::fdopendir(listing_fd.get()));
    if (!listing) {
        return errno;
    }
    listing_fd.release();
    std::vector<std::string> names;
    if (const int error = read_names(listing.get(), names)) {
        return error;
    }
    for (const std::string& name : names) {
        if (::unlinkat(directory_fd, name.c_str(), 0) == 0 || errno == ENOENT) {
            continue;
        }
        if (errno != EISDIR && errno != EPERM) {
            return errno;
        }
        UniqueFd child(
            ::openat(directory_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child.valid()) {
            return errno;
        }
        if (const int error = remove_directory_contents(child.get())) {
            return error;
        }
        if (::unlinkat(directory_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            return errno;
        }
    }
    return 0;
}

// The directory for temporary files: TMPDIR when it names an absolute path, else /tmp.
std::string temporary_root() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp";
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The copy itself; returns 0 or the errno value of the failure. Neither end is followed through
// a symbolic link. With overwrite, what is at the destination is removed first, never opened.
int copy_file(const char* source, const char* destination, bool overwrite, bool flush) {
    UniqueFd from(open_retrying(source, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat source_stat {};
    if (!from.valid() || ::fstat(from.get(), &source_stat) != 0) {
        return errno;
    }
    if (S_ISDIR(source_stat.st_mode)) {
        return EISDIR;
    }
    if (overwrite) {
        struct stat destination_stat {};
        // Removing the destination must never remove the source itself.
        if (::lstat(destination, &destination_stat) == 0 &&
            same_file(destination_stat, source_stat)) {
            return EINVAL;
        }
        if (const int error = remove_entry(destination)) {
            return error;
        }
    }
    UniqueFd to(create_exclusive(destination, O_WRONLY));
    if (!to.valid()) {
        return errno;
    }
    int error = copy_contents(from.get(), to.get());
    if (error == 0) {
        const timespec times[2] = {source_stat.st_atim, source_stat.st_mtim};
        ::futimens(to.get(), times); // best effort, as the contents are what matters
    }
    if (error == 0 && flush && ::fsync(to.get()) != 0) {
        error = errno;
    }
    if (to.close() != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(destination); // do not leave a partial copy that we created
    }
    return error;
}

} // namespace

namespace path_syntax {

bool starts_unc(std::string_view) noexcept {
    return false;
}

bool is_absolute(std::string_view normal) noexcept {
    return !normal.empty() && normal[0] == '/';
}

size_t root_length(std::string_view normal) noexcept {
    return is_absolute(normal) ? 1 : 0;
}

std::optional<std::string> current_directory(uint32_t& error) {
    std::unique_ptr<char, decltype(&std::free)> directory(::getcwd(nullptr, 0), &std::free);
    if (!directory) {
        error = static_cast<uint32_t>(errno);
        return std::nullopt;
    }
    return std::string(directory.get());
}

uint32_t too_long_code() noexcept {
    return ENAMETOOLONG;
}

uint32_t invalid_text_code() noexcept {
    return EINVAL;
}

} // namespace path_syntax

// ---- VfsPath ----

uint32_t VfsPath::attributes() const noexcept {
    struct stat info {};
    if (::stat(native(*this), &info) != 0) {
        return kInvalidAttributes;
    }
    if (S_ISDIR(info.st_mode)) {
        return kAttributeDirectory;
    }
    if (!S_ISREG(info.st_mode)) {
        return kAttributeDevice;
    }
    return (info.st_mode & 0222) == 0 ? kAttributeReadOnly : kAttributeNormal;
}

VfsEntryKind VfsPath::entry_kind() const noexcept {
    struct stat info {};
    if (::lstat(native(*this), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? VfsEntryKind::Missing : VfsEntryKind::Unknown;
    }
    if (S_ISREG(info.st_mode)) {
        return VfsEntryKind::File;
    }
    if (S_ISDIR(info.st_mode)) {
        return VfsEntryKind::Directory;
    }
    return S_ISLNK(info.st_mode) ? VfsEntryKind::Link : VfsEntryKind::Other;
}

VfsEntryFacts VfsPath::entry_facts() const noexcept {
    VfsEntryFacts facts;
    struct stat info {};
    if (::lstat(native(*this), &info) != 0) {
        facts.kind = entry_kind();
        return facts;
    }
    facts.kind = S_ISREG(info.st_mode)   ? VfsEntryKind::File
                 : S_ISDIR(info.st_mode) ? VfsEntryKind::Directory
                 : S_ISLNK(info.st_mode) ? VfsEntryKind::Link
                                         : VfsEntryKind::Other;
    facts.size = facts.kind == VfsEntryKind::Directory ? 0 : static_cast<uint64_t>(info.st_size);
    facts.modified_time = static_cast<int64_t>(info.st_mtim.tv_sec);
    return facts;
}

std::vector<std::string> VfsPath::list_names() const {
    std::vector<std::string> names;
    UniqueDir directory(::opendir(native(*this)));
    if (!directory) {
        fail(format("Failed listing directory '%s'.", normal_), errno);
        return names;
    }
    if (const int error = read_names(directory.get(), names)) {
        fail(format("Failed listing directory '%s'.", normal_), error);
    }
    return names;
}

void VfsPath::remove_tree() const {
    if (::unlink(native(*this)) == 0 || errno == ENOENT) {
        return;
    }
    UniqueFd directory(
        open_retrying(native(*this), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int error = directory.valid() ? remove_directory_contents(directory.get()) : errno;
    if (error == 0 && ::rmdir(native(*this)) != 0) {
        error = errno;
    }
    if (error != 0) {
        fail(format("Failed removing '%s'.", normal_), error);
    }
}

bool VfsPath::same_entry_as(const VfsPath& other) const noexcept {
    struct stat mine {};
    struct stat theirs {};
    return ::stat(native(*this), &mine) == 0 && ::stat(native(other), &theirs) == 0 &&
           mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

void VfsPath::move_to(const VfsPath& destination) const {
    if (::rename(native(*this), native(destination)) != 0) {
        fail(format("Failed moving '%s' to '%s'.", normal_, destination.normal_), errno);
    }
}

void VfsPath::copy_to(const VfsPath& destination, bool overwrite, bool flush) const {
    if (const int error = copy_file(native(*this), native(destination), overwrite, flush)) {
        fail(format("Failed copying '%s' to '%s'.", normal_, destination.normal_), error);
    }
}

void VfsPath::delete_file() const {
    if (::unlink(native(*this)) != 0) {
        fail(format("Failed deleting '%s'.", normal_), errno);
    }
}

void VfsPath::remove_directory() const {
    if (::rmdir(native(*this)) != 0) {
        fail(format("Failed removing directory '%s'.", normal_), errno);
    }
}

void VfsPath::create_directory() const {
    if (::mkdir(native(*this), kPrivateDirectoryMode) != 0) {
        fail(format("Failed creating directory '%s'.", normal_), errno);
    }
}

// Creates every missing directory of the path, from the root (absolute paths) or the first
// component (relative paths) on. A directory that appears meanwhile counts as created.
void VfsPath::create_directories() const {
    const std::vector<std::string> components = components_copy();
    VfsPath current(throw_on_error_, is_absolute() ? "/" : "");
    for (size_t i = is_absolute() ? 1 : 0; i < components.size(); ++i) {
        current.append(components[i]);
        if (current.is_directory()) {
            continue;
        }
        if (::mkdir(native(current), kPrivateDirectoryMode) != 0) {
            const int error = errno;
            if (error == EEXIST && current.is_directory()) {
                continue;
            }
            fail(format("Failed creating directory '%s'.", current.normal_), error);
            return;
        }
    }
}

void VfsPath::flush_directory() const {
    UniqueFd directory(open_retrying(native(*this), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid() || ::fsync(directory.get()) != 0) {
        fail(format("Failed flushing directory '%s'.", normal_), errno);
    }
}

// ---- VfsFile ----

struct VfsFile::Native {
    explicit Native(int descriptor) : fd(descriptor) {}
    int fd;
};

VfsFile::VfsFile(std::unique_ptr<Native> native) : native_(std::move(native)) {}

std::unique_ptr<VfsFile> VfsFile::CreatePrivate(const VfsPath& path) {
    const auto failure = [&path](int code) {
        return VfsException(format("VfsFile.CreateOrOpen failed on '%s'", path.normal_view()),
                            code);
    };
    if (const int error = remove_entry(native(path))) {
        throw failure(error);
    }
    UniqueFd fd(create_exclusive(native(path), O_WRONLY));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        throw failure(errno);
    }
    return std::unique_ptr<VfsFile>(new VfsFile(std::make_unique<Native>(fd.release())));
}

VfsFile::~VfsFile() {
    if (native_->fd >= 0) {
        ::close(native_->fd);
    }
}

void VfsFile::fail(std::string_view message, int code) {
    last_error_.emplace(message, static_cast<uint32_t>(code));
    throw *last_error_;
}

void VfsFile::Close() {
    if (native_->fd < 0) {
        return;
    }
    const int result = ::close(std::exchange(native_->fd, -1));
    if (result != 0 && errno != EINTR) {
        fail("VfsFile.Close failed. ", errno);
    }
}

uint32_t VfsFile::Write(const void* data, size_t size) {
    size = std::min<size_t>(size, UINT32_MAX);
    if (const int error = write_all(native_->fd, static_cast<const char*>(data), size)) {
        fail("VfsFile.Write failed. ", error);
    }
    return static_cast<uint32_t>(size);
}

uint32_t VfsFile::Write(std::string_view data) {
    return Write(data.data(), data.size());
}

void VfsFile::Flush() {
    if (::fsync(native_->fd) != 0) {
        fail("Flush failed. ", errno);
    }
}

// ---- Reading whole files ----

std::optional<std::string> read_regular_file_prefix(const VfsPath& path, size_t max_bytes) {
    struct stat info {};
    if (::stat(native(path), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    // Non-blocking, and checked again once open: the path may have been replaced by a FIFO or a
    // device since the look above.
    UniqueFd fd(open_retrying(native(path), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw VfsException(format("Failed opening '%s'.", path.normal_view()),
                           static_cast<uint32_t>(errno));
    }
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string content;
    constexpr size_t chunk = 65536;
    while (content.size() < max_bytes) {
        const size_t old_size = content.size();
        content.resize(old_size + std::min(chunk, max_bytes - old_size));
        const ssize_t got = ::read(fd.get(), content.data() + old_size, content.size() - old_size);
        if (got < 0 && errno == EINTR) {
            content.resize(old_size);
            continue;
        }
        if (got < 0) {
            throw VfsException(format("Failed reading '%s'.", path.normal_view()),
                               static_cast<uint32_t>(errno));
        }
        content.resize(old_size + static_cast<size_t>(got));
        if (got == 0) {
            break;
        }
    }
    return content;
}

// ---- VfsTemporaryDirectory ----

VfsTemporaryDirectory::VfsTemporaryDirectory(std::string_view prefix) {
    std::string pattern = temporary_root() + "/" + std::string(prefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw VfsException(format("Failed creating a temporary directory '%s'.", pattern), errno);
    }
    path_ = VfsPath(true, pattern).normal_copy();
}

VfsTemporaryDirectory::~VfsTemporaryDirectory() {
    try {
        VfsPath(true, path_).remove_tree();
    } catch (const VfsException&) {
        // What is left lies in the system's temporary directory, which is cleaned on its own.
    }
}

// ---- VfsDirectoryLock ----

struct VfsDirectoryLock::Native {
    explicit Native(UniqueFd descriptor) : fd(std::move(descriptor)) {}
    UniqueFd fd; // holds the lock until closed
};

VfsDirectoryLock::VfsDirectoryLock(std::unique_ptr<Native> native) : native_(std::move(native)) {}

std::unique_ptr<VfsDirectoryLock> VfsDirectoryLock::try_lock(const VfsPath& directory) {
    const auto failure = [&directory](int code) {
        return VfsException(format("Failed locking directory '%s'.", directory.normal_view()),
                            static_cast<uint32_t>(code));
    };
    UniqueFd fd(open_retrying(native(directory), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        throw failure(errno);
    }
    int result;
    do {
        result = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno == EWOULDBLOCK) {
            return nullptr;
        }
        throw failure(errno);
    }
    return std::unique_ptr<VfsDirectoryLock>(
        new VfsDirectoryLock(std::make_unique<Native>(std::move(fd))));
}

VfsDirectoryLock::~VfsDirectoryLock() = default;

// O_APPEND keeps concurrent writers from interleaving inside a line.
void append_to_private_file(const std::string& file_name, std::string_view line) {
    const int fd =
        ::open(file_name.c_str(),
               O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw VfsException(format("VfsFile.CreateOrOpen failed on '%s'", file_name), errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw VfsException(format("VfsFile.CreateOrOpen failed on '%s'", file_name), EINVAL);
    }
    uint32_t error = static_cast<uint32_t>(write_all(fd, line.data(), line.size()));
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        throw VfsException("VfsFile.Write failed. ", error);
    }
}

} // namespace vesk
