#pragma once
// Helpers shared by the Win32 backends; private to them.

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

namespace vesk {

// Owns one Win32 handle and closes it on destruction. Both the null handle and
// INVALID_HANDLE_VALUE count as no handle.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() noexcept { return std::exchange(handle_, nullptr); }
    void reset(HANDLE handle = nullptr) noexcept {
        if (valid()) {
            ::CloseHandle(handle_);
        }
        handle_ = handle;
    }
    // Closes now and reports whether CloseHandle succeeded; the handle is forgotten either way.
    bool close() noexcept { return !valid() || ::CloseHandle(release()) != 0; }

private:
    HANDLE handle_ = nullptr;
};

// Owns a directory search handle (FindFirstFileExW) and closes it on destruction.
class UniqueFindHandle {
public:
    explicit UniqueFindHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueFindHandle(const UniqueFindHandle&) = delete;
    UniqueFindHandle& operator=(const UniqueFindHandle&) = delete;
    ~UniqueFindHandle() {
        if (valid()) {
            ::FindClose(handle_);
        }
    }

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// UTF-8 <-> UTF-16 for Win32 calls, with the replacement rules of platform/unicode.h.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

// The form of a normal path (UTF-8, slashes) handed to the wide-character file functions: an
// absolute drive path gets the long-path prefix "\\?\" (a bare drive "C:" becomes "\\?\C:\"), a
// UNC path "//server/share/x" becomes "\\?\UNC\server\share\x"; a relative path is made
// absolute against the current directory first. Separators become backslashes; "." and ".."
// components are resolved lexically, as Windows does for paths without the prefix. The root of
// a share, "//server/share", gets a trailing backslash like the bare drive.
std::wstring native_path(std::string_view normal);

} // namespace vesk
