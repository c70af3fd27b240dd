// Win32 backend of the directory walker: FindFirstFileExW and FindNextFileW on the long-path form
// of each directory ("\\?\C:\..." or "\\?\UNC\server\share\..."), so depth and path length are
// limited only by the system's 32,767 characters.
//
// Symbolic links and junctions (every reparse point) are reported as files and never walked,
// and NTFS has no hard links to directories: below the start, a directory can be reached only
// once. So no identities are compared to find loops; only "." and ".." are entries that lead
// back onto the walk path, and they are never entered. The identity (volume serial number and
// file index) is taken for directories only, by opening each one: files carry none here, as
// the listing does not report it and opening every file would cost a system call each.
//
// A file's size is the size the listing reports; for a symbolic link that is the size of the
// link itself (usually 0), not of its target. The listing gives every fact at once, so no entry
// is examined separately: the counts of unreadable and vanished entries stay 0 here.

#include <windows.h>

#include "platform/bindings.h"
#include "platform/dir_walk.h"
#include "platform/exceptions.h"
#include "platform/text_format.h"
#include "platform/vfs.h"
#include "platform/win32/handle.h"

#include <stdexcept>

namespace vesk {

namespace {

bool is_dot_entry(std::string_view name) {
    return name == "." || name == "..";
}

// The system's text for the code on one line (Windows ends its texts with a line end).
std::string error_text(DWORD code) {
    std::string text = system_error_text(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

int64_t unix_seconds(const FILETIME& time) {
    return filetime_to_unix((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                            time.dwLowDateTime);
}

// The identity of the directory at the native path; `follow` decides whether a link or
// junction there is followed. Nothing when it cannot be opened or is not a directory (or, not
// followed, is a reparse point).
std::optional<FileIdentity> identity_at(const std::wstring& native, bool follow) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const UniqueHandle handle(::CreateFileW(native.c_str(), 0,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, flags, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info))
        return std::nullopt;
    const DWORD not_wanted = FILE_ATTRIBUTE_DIRECTORY | (follow ? 0 : FILE_ATTRIBUTE_REPARSE_POINT);
    if ((info.dwFileAttributes & not_wanted) != FILE_ATTRIBUTE_DIRECTORY) {
        ::SetLastError(ERROR_DIRECTORY);
        return std::nullopt;
    }
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0};
}

// One entry of a listing, with the facts the listing gave.
struct Item {
    std::string name;
    DWORD attributes = 0;
    uint64_t size = 0;
    int64_t modified_time = 0;
};

// Closes a search handle on destruction.
class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle() {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::FindClose(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace

// The walk state. Each directory's entries are read completely into `items_` before any of
// them is reported, so no search handle stays open while a subtree is walked.
class DirWalker {
public:
    DirWalker(const WalkCallbacks& callbacks, bool skip_dot_entries)
        : callbacks_(callbacks), skip_dot_entries_(skip_dot_entries) {}

    WalkCounts walk(const std::vector<std::string>& start_components);

private:
    // One directory on the current walk path.
    struct Level {
        size_t begin = 0; // its entries: [begin, end) of items_
        size_t end = 0;
        size_t cursor = 0;
        size_t path_length = 0;   // length of its path in path_
        size_t native_length = 0; // length of its native path in native_
        size_t item = 0;          // its own entry in the parent's items
        WalkEntry entry;          // how it was reported, for leave_dir
    };

    void open_start(const std::vector<std::string>& components);
    DWORD read_entries();
    void step();
    void handle_directory(size_t level, size_t item);
    bool descend(size_t item);
    void finish_directory(size_t parent);
    void pop_level();
    void present(size_t level, size_t item);
    std::string entry_display_path(std::string_view name) const;
    void log(const std::string& line) const;
    void stop_listing(size_t level) { levels_[level].cursor = levels_[level].end; }

    const WalkCallbacks& callbacks_;
    const bool skip_dot_entries_;
    WalkCounts counts_;
    std::vector<Level> levels_;
    std::vector<Item> items_;
    std::string path_;    // path of the deepest directory on the walk path
    std::wstring native_; // its long-path form, without a trailing backslash
    WalkEntry entry_;
};

WalkCounts DirWalker::walk(const std::vector<std::string>& start_components) {
    open_start(start_components);
    while (!levels_.empty()) {
        if (levels_.back().cursor < levels_.back().end)
            step();
        else
            pop_level();
    }
    return counts_;
}

// The components are joined by "/" and read as a path: a leading empty component makes it
// start with "/", two make it a UNC path ("", "", "server", "share"), "C:" names a drive.
void DirWalker::open_start(const std::vector<std::string>& components) {
    std::string joined;
    for (size_t i = 0; i < components.size(); ++i)
        joined += (i == 0 ? "" : "/") + components[i];
    if (components.size() == 1 && components[0].empty())
        joined = "/";
    path_ = VfsPath(false, joined).normal_copy();
    if (path_.empty())
        path_ = ".";
    native_ = native_path(path_);
    if (native_.ends_with(L'\\'))
        native_.pop_back(); // the root of a drive

    // With its trailing backslash: "\\?\C:" without one would name the volume, not its root.
    const std::optional<FileIdentity> identity = identity_at(native_path(path_), true);
    DWORD error = identity ? 0 : ::GetLastError();
    if (error == 0)
        error = read_entries();
    if (error != 0)
        throw std::runtime_error(format("Cannot list the source directory '%s'. Details: %s",
                                        escape_for_log(joined), error_text(error)));
    Level root;
    root.end = items_.size();
    root.path_length = path_.size();
    root.native_length = native_.size();
    levels_.push_back(std::move(root));
}

// Appends the entries of the directory at native_ to items_; returns 0 or the error. Entries
// read before a failure are kept.
DWORD DirWalker::read_entries() {
    WIN32_FIND_DATAW data;
    const std::wstring pattern = native_ + L"\\*";
    FindHandle find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (find.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : error; // an empty drive root
    }
    do {
        Item item;
        item.name = narrow(data.cFileName);
        item.attributes = data.dwFileAttributes;
        item.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        item.modified_time = unix_seconds(data.ftLastWriteTime);
        items_.push_back(std::move(item));
    } while (::FindNextFileW(find.get(), &data));
    const DWORD error = ::GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

void DirWalker::step() {
    const size_t level = levels_.size() - 1;
    const size_t item = levels_[level].cursor++;
    const Item& found = items_[item];
    if (skip_dot_entries_ && is_dot_entry(found.name))
        return;
    if ((found.attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        ++counts_.special_files_skipped;
        return;
    }
    const bool directory = (found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                           (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    present(level, item);
    entry_.is_directory_ = directory;
    entry_.size_ = directory ? 0 : found.size;
    entry_.modified_time_ = found.modified_time;
    entry_.identity_ = FileIdentity{};
    if (directory) {
        handle_directory(level, item);
    } else if (!callbacks_.visit_file(entry_)) {
        stop_listing(level);
    }
}

void DirWalker::handle_directory(size_t level, size_t item) {
    const bool looped = is_dot_entry(items_[item].name);
    if (!looped) {
        const std::wstring native = native_ + L"\\" + widen(items_[item].name);
        entry_.identity_ = identity_at(native, false).value_or(FileIdentity{});
    }
    bool enter = callbacks_.enter_dir(entry_);
    if (enter && looped) {
        ++counts_.loops_not_entered;
        log(format("Not entering directory '%s': it is already on the walk path (link loop).",
                   escape_for_log(entry_.display_path())));
        enter = false;
    }
    if (enter && descend(item))
        return; // leave_dir follows when its listing is done
    finish_directory(level);
}

// Lists the directory just reported and makes it the deepest level. Returns false when it cannot
// be listed; a listing that fails part way keeps the entries read so far. Both are logged.
bool DirWalker::descend(size_t item) {
    const std::string name = items_[item].name;
    const size_t native_length = native_.size();
    native_ += L'\\';
    native_ += widen(name);
    // Replaced by a link or junction, or by another directory, since it was reported.
    const std::optional<FileIdentity> identity = identity_at(native_, false);
    DWORD error = identity ? 0 : ::GetLastError();
    if (error == 0 && *identity != entry_.identity_)
        error = ERROR_FILE_INVALID;
    const WalkEntry reported = entry_;
    Level child;
    child.begin = items_.size();
    if (error == 0)
        error = read_entries();
    const bool listed = child.begin < items_.size() || error == 0;
    if (!listed) {
        native_.resize(native_length);
        ++counts_.unreadable_dirs;
        log(format("Cannot list directory '%s': %s", escape_for_log(entry_display_path(name)),
                   error_text(error)));
        return false;
    }
    if (path_.back() != '/')
        path_ += '/';
    path_ += name;
    child.end = items_.size();
    child.cursor = child.begin;
    child.path_length = path_.size();
    child.native_length = native_.size();
    child.item = item;
    child.entry = reported;
    levels_.push_back(std::move(child));
    if (error != 0) {
        ++counts_.unreadable_dirs;
        log(format("Cannot list directory '%s': %s", escape_for_log(path_), error_text(error)));
    }
    return true;
}

void DirWalker::finish_directory(size_t parent) {
    if (!callbacks_.leave_dir(entry_))
        stop_listing(parent);
}

void DirWalker::pop_level() {
    const size_t done = levels_.size() - 1;
    if (done == 0) {
        levels_.pop_back();
        return;
    }
    const size_t parent = done - 1;
    entry_ = levels_[done].entry;
    const size_t item = levels_[done].item;
    items_.resize(levels_[done].begin);
    path_.resize(levels_[parent].path_length);
    native_.resize(levels_[parent].native_length);
    levels_.pop_back();
    present(parent, item); // the views of the saved entry may have moved
    finish_directory(parent);
}

void DirWalker::present(size_t level, size_t item) {
    entry_.name_ = items_[item].name;
    entry_.directory_path_ = std::string_view(path_).substr(0, levels_[level].path_length);
}

std::string DirWalker::entry_display_path(std::string_view name) const {
    std::string path = path_;
    if (path.back() != '/')
        path += '/';
    return path.append(name);
}

void DirWalker::log(const std::string& line) const {
    if (callbacks_.log)
        callbacks_.log(line);
}

std::optional<FileIdentity> directory_identity(const std::string& path) {
    if (path.empty())
        return std::nullopt;
    return identity_at(native_path(VfsPath(false, path).normal_view()), true);
}

WalkCounts VisitFiles(const std::vector<std::string>& start_components,
                      const WalkCallbacks& callbacks, bool skip_dot_entries) {
    return DirWalker(callbacks, skip_dot_entries).walk(start_components);
}

} // namespace vesk
