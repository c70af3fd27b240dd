// Win32 implementation of paths, files and directory locks: the wide-character file functions
// on the long-path form of each path (native_path), so paths beyond 260 characters work.
//
// Privacy: files and directories created here get no security descriptor of their own; they
// inherit the access control lists of the directory that holds them. A destination directory
// that only its owner may read therefore keeps everything VESK writes below it private, which
// is what the modes 0600 and 0700 give on POSIX.

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/path_syntax.h"
#include "platform/text_format.h"
#include "platform/vfs.h"
#include "platform/win32/handle.h"

namespace vesk {

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// "C:" or "C:/..." (not the drive-relative "C:x").
bool is_drive_absolute(std::string_view normal) {
    const char letter = static_cast<char>(normal.empty() ? 0 : normal[0] | 0x20);
    return normal.size() >= 2 && letter >= 'a' && letter <= 'z' && normal[1] == ':' &&
           (normal.size() == 2 || is_separator(normal[2]));
}

// Appends the components of `rest` (slashes) with backslashes, dropping "." and resolving ".."
// lexically without climbing above the root, as the Win32 layer does for paths without the
// long-path prefix (which hands them to the file system literally).
void append_resolved(std::wstring& native, size_t root_end, std::string_view rest) {
    for (size_t start = 0; start <= rest.size();) {
        const size_t end = std::min(rest.find('/', start), rest.size());
        const std::string_view name = rest.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            native.resize(std::max(root_end, native.rfind(L'\\') == std::wstring::npos
                                                 ? root_end
                                                 : native.rfind(L'\\')));
            continue;
        }
        native += L'\\';
        native += widen(name);
    }
}

// A relative path ("x/y", "C:x" or "/x") made absolute by the system against the current
// directory, then given the long-path prefix.
std::wstring full_native_path(std::string_view normal) {
    std::wstring relative = widen(normal);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    const DWORD needed = ::GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return relative; // the call that uses it fails with the system's own error
    }
    std::wstring full(needed, L'\0');
    full.resize(::GetFullPathNameW(relative.c_str(), needed, full.data(), nullptr));
    if (full.starts_with(LR"(\\?\)") || full.starts_with(LR"(\\.\)")) {
        return full; // already a long path, or a device name such as "NUL"
    }
    return full.starts_with(LR"(\\)") ? LR"(\\?\UNC\)" + full.substr(2) : LR"(\\?\)" + full;
}

// The codes of the failures that mean "nothing is there".
bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens what the path names for examination only (no read or write access); directories too.
UniqueHandle open_for_facts(const std::wstring& native, DWORD flags = 0) {
    return UniqueHandle(::CreateFileW(native.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

bool facts_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return ::GetFileInformationByHandle(handle, &info) != 0;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// Writes everything or returns the error code of the failure.
DWORD write_all(HANDLE handle, const char* data, size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(handle, data, chunk, &written, nullptr)) {
            return ::GetLastError();
        }
        if (written == 0) {
            return ERROR_DISK_FULL;
        }
        data += written;
        size -= written;
    }
    return 0;
}

DWORD copy_contents(HANDLE from, HANDLE to) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return ::GetLastError();
        }
        if (got == 0) {
            return 0;
        }
        if (const DWORD error = write_all(to, buffer.data(), got)) {
            return error;
        }
    }
}

// Removes whatever is at the path (a symbolic link itself, never its target); a missing entry
// is fine.
DWORD remove_entry(const std::wstring& native) {
    if (::DeleteFileW(native.c_str())) {
        return 0;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
}

// Creates a new file for writing that others may only read; an existing entry at the name, a
// symbolic link included, makes the call fail instead of being followed or reused.
UniqueHandle create_exclusive(const std::wstring& native) {
    return UniqueHandle(::CreateFileW(native.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The copy itself; returns 0 or the error code of the failure. Neither end is followed through
// a symbolic link or junction. With overwrite, what is at the destination is removed first,
// never opened.
DWORD copy_file(const std::wstring& source, const std::wstring& destination, bool overwrite,
                bool flush) {
    UniqueHandle from(::CreateFileW(source.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                    nullptr));
    BY_HANDLE_FILE_INFORMATION source_info{};
    if (!from.valid() || !facts_of(from.get(), source_info)) {
        return ::GetLastError();
    }
    if (source_info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return ERROR_CANT_ACCESS_FILE;
    }
    if (overwrite) {
        // Removing the destination must never remove the source itself.
        const UniqueHandle existing = open_for_facts(destination, FILE_FLAG_OPEN_REPARSE_POINT);
        BY_HANDLE_FILE_INFORMATION destination_info{};
        if (existing.valid() && facts_of(existing.get(), destination_info) &&
            same_file(source_info, destination_info)) {
            return ERROR_INVALID_PARAMETER;
        }
        if (const DWORD error = remove_entry(destination)) {
            return error;
        }
    }
    UniqueHandle to = create_exclusive(destination);
    if (!to.valid()) {
        return ::GetLastError();
    }
    DWORD error = copy_contents(from.get(), to.get());
    if (error == 0) { // best effort, as the contents are what matters
        ::SetFileTime(to.get(), nullptr, &source_info.ftLastAccessTime,
                      &source_info.ftLastWriteTime);
    }
    if (error == 0 && flush && !::FlushFileBuffers(to.get())) {
        error = ::GetLastError();
    }
    if (!to.close() && error == 0) {
        error = ::GetLastError();
    }
    if (error != 0) {
        ::DeleteFileW(destination.c_str()); // do not leave a partial copy that we created
    }
    return error;
}

} // namespace

std::wstring native_path(std::string_view normal) {
    if (path_syntax::starts_unc(normal)) {
        const size_t root = path_syntax::root_length(normal);
        std::wstring native = LR"(\\?\UNC\)" + widen(normal.substr(2, root - 2));
        std::replace(native.begin(), native.end(), L'/', L'\\');
        const size_t share_end = native.size();
        append_resolved(native, share_end, normal.substr(root));
        if (native.size() == share_end) {
            native += L'\\'; // the root directory of the share
        }
        return native;
    }
    if (is_drive_absolute(normal)) {
        std::wstring native = LR"(\\?\)" + widen(normal.substr(0, 2));
        append_resolved(native, native.size(), normal.substr(2));
        if (native.size() == 6) {
            native += L'\\'; // the root directory of the drive
        }
        return native;
    }
    return full_native_path(normal);
}

namespace path_syntax {

bool starts_unc(std::string_view text) noexcept {
    return text.size() >= 2 && is_separator(text[0]) && is_separator(text[1]);
}

bool is_absolute(std::string_view normal) noexcept {
    return is_drive_absolute(normal) || starts_unc(normal);
}

// "//server/share" ends at the slash after the share (or at the end); "C:" and "/" are roots of
// their own.
size_t root_length(std::string_view normal) noexcept {
    if (starts_unc(normal)) {
        const size_t server_end = normal.find('/', 2);
        const size_t share_end =
            server_end == std::string_view::npos ? server_end : normal.find('/', server_end + 1);
        return std::min(share_end, normal.size());
    }
    if (is_drive_absolute(normal)) {
        return 2;
    }
    return !normal.empty() && normal[0] == '/' ? 1 : 0;
}

std::optional<std::string> current_directory(uint32_t& error) {
    std::wstring directory(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data());
        if (length == 0) {
            error = ::GetLastError();
            return std::nullopt;
        }
        if (length < directory.size()) {
            directory.resize(length);
            break;
        }
        directory.resize(length);
    }
    std::string normal = narrow(directory);
    std::replace(normal.begin(), normal.end(), '\\', '/');
    return normal;
}

uint32_t too_long_code() noexcept {
    return ERROR_FILENAME_EXCED_RANGE;
}

uint32_t invalid_text_code() noexcept {
    return ERROR_INVALID_NAME;
}

} // namespace path_syntax

// ---- VfsPath ----

// Links are followed, as on POSIX: a symbolic link or junction reports its target's facts. Only
// the bits that vfs.h names are reported.
uint32_t VfsPath::attributes() const noexcept {
    const std::wstring native = native_path(normal_);
    DWORD attributes_now = ::GetFileAttributesW(native.c_str());
    if (attributes_now == INVALID_FILE_ATTRIBUTES) {
        return kInvalidAttributes;
    }
    if (attributes_now & FILE_ATTRIBUTE_REPARSE_POINT) {
        const UniqueHandle target = open_for_facts(native);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!target.valid() || !facts_of(target.get(), info)) {
            return kInvalidAttributes; // a dangling link
        }
        attributes_now = info.dwFileAttributes;
    }
    if (attributes_now & FILE_ATTRIBUTE_DIRECTORY) {
        return kAttributeDirectory;
    }
    if (attributes_now & FILE_ATTRIBUTE_DEVICE) {
        return kAttributeDevice;
    }
    return (attributes_now & FILE_ATTRIBUTE_READONLY) ? kAttributeReadOnly : kAttributeNormal;
}

// A symbolic link or junction (any reparse point) is a link, whatever it points to.
VfsEntryKind VfsPath::entry_kind() const noexcept {
    const DWORD attributes_now = ::GetFileAttributesW(native_path(normal_).c_str());
    if (attributes_now == INVALID_FILE_ATTRIBUTES) {
        return is_missing(::GetLastError()) ? VfsEntryKind::Missing : VfsEntryKind::Unknown;
    }
    if (attributes_now & FILE_ATTRIBUTE_REPARSE_POINT) {
        return VfsEntryKind::Link;
    }
    if (attributes_now & FILE_ATTRIBUTE_DIRECTORY) {
        return VfsEntryKind::Directory;
    }
    return (attributes_now & FILE_ATTRIBUTE_DEVICE) ? VfsEntryKind::Other : VfsEntryKind::File;
}

bool VfsPath::same_entry_as(const VfsPath& other) const noexcept {
    const UniqueHandle mine = open_for_facts(native_path(normal_));
    const UniqueHandle theirs = open_for_facts(native_path(other.normal_));
    BY_HANDLE_FILE_INFORMATION my_info{};
    BY_HANDLE_FILE_INFORMATION their_info{};
    return mine.valid() && theirs.valid() && facts_of(mine.get(), my_info) &&
           facts_of(theirs.get(), their_info) && same_file(my_info, their_info);
}

void VfsPath::move_to(const VfsPath& destination) const {
    if (!::MoveFileExW(native_path(normal_).c_str(), native_path(destination.normal_).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        fail(format("Failed moving '%s' to '%s'.", normal_, destination.normal_), ::GetLastError());
    }
}

void VfsPath::copy_to(const VfsPath& destination, bool overwrite, bool flush) const {
    if (const DWORD error =
            copy_file(native_path(normal_), native_path(destination.normal_), overwrite, flush)) {
        fail(format("Failed copying '%s' to '%s'.", normal_, destination.normal_), error);
    }
}

void VfsPath::delete_file() const {
    if (!::DeleteFileW(native_path(normal_).c_str())) {
        fail(format("Failed deleting '%s'.", normal_), ::GetLastError());
    }
}

void VfsPath::remove_directory() const {
    if (!::RemoveDirectoryW(native_path(normal_).c_str())) {
        fail(format("Failed removing directory '%s'.", normal_), ::GetLastError());
    }
}

void VfsPath::create_directory() const {
    if (!::CreateDirectoryW(native_path(normal_).c_str(), nullptr)) {
        fail(format("Failed creating directory '%s'.", normal_), ::GetLastError());
    }
}

// Creates every missing directory of the path below its root ("C:", "//server/share" or "/"),
// or from the first component of a relative path on. A directory that appears meanwhile counts
// as created.
void VfsPath::create_directories() const {
    const size_t root = path_syntax::root_length(normal_);
    VfsPath current(throw_on_error_, std::string_view(normal_).substr(0, root));
    const std::string_view rest = std::string_view(normal_).substr(root);
    for (size_t start = 0; start < rest.size();) {
        const size_t end = std::min(rest.find('/', start), rest.size());
        const std::string_view name = rest.substr(start, end - start);
        start = end + 1;
        if (name.empty()) {
            continue;
        }
        current.append(name);
        if (current.is_directory()) {
            continue;
        }
        if (!::CreateDirectoryW(native_path(current.normal_).c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_ALREADY_EXISTS && current.is_directory()) {
                continue;
            }
            fail(format("Failed creating directory '%s'.", current.normal_), error);
            return;
        }
    }
}

// Windows offers no reliable flush of a directory's entries. None is needed where VESK asks for
// one: a rename through move_to (MOVEFILE_WRITE_THROUGH) returns only once it is on disk, and
// the file system journals its directory changes. What is checked is that the directory is
// there, so that a missing one fails as on POSIX.
void VfsPath::flush_directory() const {
    const UniqueHandle directory = open_for_facts(native_path(normal_));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!directory.valid() || !facts_of(directory.get(), info)) {
        fail(format("Failed flushing directory '%s'.", normal_), ::GetLastError());
    } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fail(format("Failed flushing directory '%s'.", normal_), ERROR_DIRECTORY);
    }
}

// ---- VfsFile ----

struct VfsFile::Native {
    explicit Native(UniqueHandle file) : handle(std::move(file)) {}
    UniqueHandle handle;
};

VfsFile::VfsFile(std::unique_ptr<Native> native) : native_(std::move(native)) {}

// Others may read the file while it is written, but neither write nor delete it: the sharing
// mode is the exclusive lock.
std::unique_ptr<VfsFile> VfsFile::CreatePrivate(const VfsPath& path) {
    const auto failure = [&path](DWORD code) {
        return VfsException(format("VfsFile.CreateOrOpen failed on '%s'", path.normal_view()),
                            code);
    };
    const std::wstring native = native_path(path.normal_view());
    if (const DWORD error = remove_entry(native)) {
        throw failure(error);
    }
    UniqueHandle handle = create_exclusive(native);
    if (!handle.valid()) {
        throw failure(::GetLastError());
    }
    return std::unique_ptr<VfsFile>(new VfsFile(std::make_unique<Native>(std::move(handle))));
}

VfsFile::~VfsFile() = default;

void VfsFile::fail(std::string_view message, int code) {
    last_error_.emplace(message, static_cast<uint32_t>(code));
    throw *last_error_;
}

void VfsFile::Close() {
    if (!native_->handle.valid()) {
        return;
    }
    if (!native_->handle.close()) {
        fail("VfsFile.Close failed. ", static_cast<int>(::GetLastError()));
    }
}

uint32_t VfsFile::Write(const void* data, size_t size) {
    size = std::min<size_t>(size, UINT32_MAX);
    if (const DWORD error =
            write_all(native_->handle.get(), static_cast<const char*>(data), size)) {
        fail("VfsFile.Write failed. ", static_cast<int>(error));
    }
    return static_cast<uint32_t>(size);
}

uint32_t VfsFile::Write(std::string_view data) {
    return Write(data.data(), data.size());
}

void VfsFile::Flush() {
    if (!::FlushFileBuffers(native_->handle.get())) {
        fail("Flush failed. ", static_cast<int>(::GetLastError()));
    }
}

// ---- Reading whole files ----

// Only disk files are read: a directory, a pipe or a device at the name gives nothing.
std::optional<std::string> read_regular_file_prefix(const VfsPath& path, size_t max_bytes) {
    const uint32_t attributes_now = path.attributes();
    if (attributes_now == kInvalidAttributes ||
        (attributes_now & (kAttributeDirectory | kAttributeDevice))) {
        return std::nullopt;
    }
    UniqueHandle file(::CreateFileW(native_path(path.normal_view()).c_str(), GENERIC_READ,
                                    kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
    if (!file.valid()) {
        const DWORD error = ::GetLastError();
        if (is_missing(error)) {
            return std::nullopt;
        }
        throw VfsException(format("Failed opening '%s'.", path.normal_view()), error);
    }
    // Checked again once open: the path may have been replaced since the look above.
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK || !facts_of(file.get(), info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    std::string content;
    constexpr size_t chunk = 65536;
    while (content.size() < max_bytes) {
        const size_t old_size = content.size();
        content.resize(old_size + std::min(chunk, max_bytes - old_size));
        DWORD got = 0;
        if (!::ReadFile(file.get(), content.data() + old_size,
                        static_cast<DWORD>(content.size() - old_size), &got, nullptr)) {
            throw VfsException(format("Failed reading '%s'.", path.normal_view()),
                               ::GetLastError());
        }
        content.resize(old_size + got);
        if (got == 0) {
            break;
        }
    }
    return content;
}

// ---- VfsDirectoryLock ----

namespace {

// Windows cannot lock a directory itself: the lock is a byte lock on this file inside it. The
// file stays when the lock is released (removing it would race with the next holder).
constexpr std::string_view kLockFileName = "vesk.lock";

} // namespace

struct VfsDirectoryLock::Native {
    explicit Native(UniqueHandle file) : handle(std::move(file)) {}
    UniqueHandle handle; // holds the lock until closed
};

VfsDirectoryLock::VfsDirectoryLock(std::unique_ptr<Native> native) : native_(std::move(native)) {}

std::unique_ptr<VfsDirectoryLock> VfsDirectoryLock::try_lock(const VfsPath& directory) {
    const auto failure = [&directory](DWORD code) {
        return VfsException(format("Failed locking directory '%s'.", directory.normal_view()),
                            code);
    };
    VfsPath lock_file(true, directory.normal_view());
    lock_file.append(kLockFileName);
    UniqueHandle handle(
        ::CreateFileW(native_path(lock_file.normal_view()).c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            return nullptr; // opened without sharing by another holder
        }
        throw failure(error);
    }
    OVERLAPPED whole_file{};
    if (!::LockFileEx(handle.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &whole_file)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_LOCK_VIOLATION) {
            return nullptr;
        }
        throw failure(error);
    }
    return std::unique_ptr<VfsDirectoryLock>(
        new VfsDirectoryLock(std::make_unique<Native>(std::move(handle))));
}

VfsDirectoryLock::~VfsDirectoryLock() = default;

// Opened for appending only, so that every write lands at the end of the file in one piece and
// concurrent writers never interleave inside a line. A symbolic link at the name is opened as
// itself and refused, as is anything that is not a disk file.
void append_to_private_file(const std::string& file_name, std::string_view line) {
    const VfsPath path(true, file_name);
    UniqueHandle file(::CreateFileW(native_path(path.normal_view()).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        throw VfsException(format("VfsFile.CreateOrOpen failed on '%s'", file_name),
                           ::GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK || !facts_of(file.get(), info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        throw VfsException(format("VfsFile.CreateOrOpen failed on '%s'", file_name),
                           ERROR_INVALID_PARAMETER);
    }
    DWORD error = write_all(file.get(), line.data(), line.size());
    if (!file.close() && error == 0) {
        error = ::GetLastError();
    }
    if (error != 0) {
        throw VfsException("VfsFile.Write failed. ", error);
    }
}

} // namespace vesk
