// Win32 implementation of paths, files and directory locks: the wide-character file functions
// on the long-path form of each path (native_path), so paths beyond 260 characters work.
//
// Privacy: files and directories created here get no security descriptor of their own; they
// inherit the access control lists of the directory that holds them. A destination directory
// that only its owner may read therefore keeps everything VESK writes below it private, which
// is what the modes 0600 and 0700 give on POSIX.

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/bindings.h"
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

// What the attributes of an entry itself say it is: any reparse point (symbolic link,
// junction) is a link, whatever it points to.
VfsEntryKind kind_of(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return VfsEntryKind::Link;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return VfsEntryKind::Directory;
    }
    return (attributes & FILE_ATTRIBUTE_DEVICE) ? VfsEntryKind::Other : VfsEntryKind::File;
}

// The native path of an entry in the directory at `native` (which ends with a backslash only
// when it is the root of a drive or share).
std::wstring child_of(const std::wstring& native, const std::wstring& name) {
    return native + (native.ends_with(L'\\') ? L"" : L"\\") + name;
}

// One entry of a directory listing, with the attributes the listing gave.
struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
};

// Appends the entries of the directory at the native path ("." and ".." left out); returns 0
// or the error code. Only the root of an empty drive lists nothing at all, which is no failure.
DWORD list_directory(const std::wstring& native, std::vector<ListedEntry>& entries) {
    WIN32_FIND_DATAW data;
    const UniqueFindHandle find(::FindFirstFileExW(child_of(native, L"*").c_str(), FindExInfoBasic,
                                                   &data, FindExSearchNameMatch, nullptr,
                                                   FIND_FIRST_EX_LARGE_FETCH));
    if (!find.valid()) {
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(native.c_str());
        const bool directory =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        return error == ERROR_FILE_NOT_FOUND && directory ? 0 : error;
    }
    do {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back({std::wstring(name), data.dwFileAttributes});
        }
    } while (::FindNextFileW(find.get(), &data));
    const DWORD error = ::GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

// Clears the read-only attribute of the entry itself (a link is not followed), which Windows
// requires before the entry can be deleted. Hidden, system and archive bits are kept.
DWORD clear_read_only(const std::wstring& native, DWORD attributes) {
    const UniqueHandle entry(
        ::CreateFileW(native.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{}; // times of 0 stay unchanged
    basic.FileAttributes = (attributes & kept) ? (attributes & kept) : FILE_ATTRIBUTE_NORMAL;
    if (!entry.valid() ||
        !::SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof basic)) {
        return ::GetLastError();
    }
    return 0;
}

DWORD remove_tree_at(const std::wstring& native, DWORD attributes);

// Empties and removes a directory that is no link or junction. While its entries go, it is
// held open without delete sharing, so that it cannot be renamed or replaced by a junction
// meanwhile: every removal stays below it.
DWORD remove_directory_tree(const std::wstring& native) {
    {
        const UniqueHandle held(::CreateFileW(
            native.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!held.valid() || !facts_of(held.get(), info)) {
            return ::GetLastError();
        }
        if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY) {
            return ERROR_DIRECTORY; // replaced since it was examined
        }
        std::vector<ListedEntry> entries;
        if (const DWORD error = list_directory(native, entries)) {
            return error;
        }
        for (const ListedEntry& entry : entries) {
            if (const DWORD error =
                    remove_tree_at(child_of(native, entry.name), entry.attributes)) {
                return error;
            }
        }
    }
    return ::RemoveDirectoryW(native.c_str()) ? 0 : ::GetLastError();
}

// Removes the entry that has the given attributes and, for a directory, everything below it.
// A link or junction is removed itself (a link to a directory as a directory), never entered.
// Returns 0, also when nothing is there, or the error code.
DWORD remove_tree_at(const std::wstring& native, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        if (const DWORD error = clear_read_only(native, attributes)) {
            return is_missing(error) ? 0 : error;
        }
    }
    DWORD error = 0;
    const bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if (directory && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = remove_directory_tree(native);
    } else if (!(directory ? ::RemoveDirectoryW(native.c_str()) : ::DeleteFileW(native.c_str()))) {
        error = ::GetLastError();
    }
    return is_missing(error) ? 0 : error;
}

// The system's directory for temporary files (GetTempPathW), or nothing when it cannot be told.
std::optional<std::string> temporary_root() {
    std::wstring buffer(::GetTempPathW(0, nullptr), L'\0');
    const DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0 || length >= buffer.size()) {
        return std::nullopt;
    }
    buffer.resize(length);
    return narrow(buffer);
}

// A name suffix that differs between processes and between calls.
std::string unique_suffix(unsigned attempt) {
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    uint64_t bits = static_cast<uint64_t>(counter.QuadPart) ^
                    (static_cast<uint64_t>(::GetCurrentProcessId()) << 40) ^
                    (attempt * 0x9E3779B97F4A7C15ull);
    std::string suffix;
    for (int digit = 0; digit < 10; ++digit, bits >>= 4) {
        suffix += "0123456789abcdef"[bits & 0xF];
    }
    return suffix;
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
    return kind_of(attributes_now);
}

// GetFileAttributesExW reports a link or junction itself, with the size and time that the
// directory walker's listing gives for it.
VfsEntryFacts VfsPath::entry_facts() const noexcept {
    VfsEntryFacts facts;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(native_path(normal_).c_str(), GetFileExInfoStandard, &data)) {
        facts.kind = is_missing(::GetLastError()) ? VfsEntryKind::Missing : VfsEntryKind::Unknown;
        return facts;
    }
    facts.kind = kind_of(data.dwFileAttributes);
    if (facts.kind != VfsEntryKind::Directory) {
        facts.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    facts.modified_time =
        filetime_to_unix((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime);
    return facts;
}

std::vector<std::string> VfsPath::list_names() const {
    std::vector<ListedEntry> entries;
    if (const DWORD error = list_directory(native_path(normal_), entries)) {
        fail(format("Failed listing directory '%s'.", normal_), error);
        return {};
    }
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const ListedEntry& entry : entries) {
        names.push_back(narrow(entry.name));
    }
    return names;
}

void VfsPath::remove_tree() const {
    const std::wstring native = native_path(normal_);
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError()
                                                              : remove_tree_at(native, attributes);
    if (error != 0 && !is_missing(error)) {
        fail(format("Failed removing '%s'.", normal_), error);
    }
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

// ---- VfsTemporaryDirectory ----

// The directory gets no security descriptor of its own: below the user's temporary directory
// it inherits that directory's access control list, which admits only the user (and the
// system). A name that exists already is retried with another suffix.
VfsTemporaryDirectory::VfsTemporaryDirectory(std::string_view prefix) {
    const std::optional<std::string> root = temporary_root();
    if (!root) {
        throw VfsException(format("Failed creating a temporary directory '%s'.", prefix),
                           ::GetLastError());
    }
    for (unsigned attempt = 0;; ++attempt) {
        VfsPath candidate(true, *root);
        candidate.append(std::string(prefix) + unique_suffix(attempt));
        if (::CreateDirectoryW(native_path(candidate.normal_view()).c_str(), nullptr)) {
            path_ = candidate.normal_copy();
            return;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS || attempt == 100) {
            throw VfsException(
                format("Failed creating a temporary directory '%s'.", candidate.normal_view()),
                error);
        }
    }
}

VfsTemporaryDirectory::~VfsTemporaryDirectory() {
    try {
        VfsPath(true, path_).remove_tree();
    } catch (const VfsException&) {
        // What is left lies in the user's temporary directory, which is cleaned on its own.
    }
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
