// The portable part of paths: normal forms, separator counts, components and error reporting.
// The platform's path syntax comes from path_syntax.h; the system calls live in the backends.

#include <algorithm>

#include "platform/exceptions.h"
#include "platform/path_syntax.h"
#include "platform/text_format.h"
#include "platform/vfs.h"

namespace vesk {

namespace {

std::string exception_text(std::string_view message, uint32_t code) {
    std::string text(message);
    if (code != 0) {
        text += " Details: ";
        text += system_error_text(code);
    }
    return text;
}

// Why a text cannot become (part of) a path, as a system error code; 0 when it can.
uint32_t text_problem(std::string_view text, size_t room) {
    if (text.size() > room) {
        return path_syntax::too_long_code();
    }
    return text.find('\0') == std::string_view::npos ? 0 : path_syntax::invalid_text_code();
}

std::string text_problem_message(uint32_t problem) {
    return problem == path_syntax::too_long_code()
               ? format("Path text longer than %s bytes.",
                        static_cast<uint64_t>(VfsPath::kCapacity))
               : std::string("Path text contains a zero byte.");
}

} // namespace

// ---- VfsException ----

VfsException::VfsException(std::string_view message, uint32_t code)
    : std::runtime_error(exception_text(message, code)), code_(code) {}

// ---- VfsPath ----

VfsPath::VfsPath(bool throw_on_error, std::string_view text) : throw_on_error_(throw_on_error) {
    normal_.reserve(kCapacity);
    set(text);
}

VfsPath::VfsPath(const VfsPath& other)
    : separator_count_(other.separator_count_), throw_on_error_(other.throw_on_error_),
      last_error_(other.last_error_) {
    normal_.reserve(kCapacity);
    normal_ = other.normal_;
}

VfsPath& VfsPath::operator=(const VfsPath& other) {
    if (this != &other) {
        normal_.reserve(kCapacity);
        normal_ = other.normal_;
        separator_count_ = other.separator_count_;
        throw_on_error_ = other.throw_on_error_;
        last_error_ = other.last_error_;
    }
    return *this;
}

bool VfsPath::fail(std::string_view message, uint32_t code) const {
    last_error_.emplace(message, code);
    if (throw_on_error_) {
        throw *last_error_;
    }
    return false;
}

bool VfsPath::is_absolute() const noexcept {
    return path_syntax::is_absolute(normal_);
}

// A UNC path's "//server/share" counts no separator, so its first component below the share
// counts 1.
void VfsPath::recount_separators() noexcept {
    const auto slashes = static_cast<int>(std::count(normal_.begin(), normal_.end(), '/'));
    const int root_slashes = path_syntax::starts_unc(normal_) ? 3 : 0;
    separator_count_ = normal_ == "/" ? 0 : std::max(0, slashes - root_slashes);
}

// From `start` on: backslashes become slashes and runs of slashes collapse into one, except the
// two that start a UNC path; a trailing slash is dropped unless the path is the root "/" itself.
void VfsPath::normalize_from(size_t start) {
    const size_t kept = start == 0 && path_syntax::starts_unc(normal_) ? 2 : 0;
    size_t out = start;
    for (size_t in = start; in < normal_.size(); ++in) {
        const char c = normal_[in] == '\\' ? '/' : normal_[in];
        if (c == '/' && out > 0 && out >= kept && normal_[out - 1] == '/') {
            continue;
        }
        normal_[out++] = c;
    }
    normal_.resize(out);
    if (normal_.size() > 1 && normal_.back() == '/') {
        normal_.pop_back();
    }
    recount_separators();
}

void VfsPath::set(std::string_view text) {
    if (const uint32_t problem = text_problem(text, kCapacity)) {
        fail(text_problem_message(problem), problem);
        return;
    }
    normal_.assign(text);
    normalize_from(0);
}

std::string VfsPath::pop() {
    if (separator_count_ == 0) {
        return {};
    }
    const size_t slash = normal_.rfind('/');
    std::string name = normal_.substr(slash + 1);
    normal_.resize(slash == 0 ? 1 : slash);
    recount_separators();
    return name;
}

void VfsPath::append(std::string_view component) {
    if (component.empty()) {
        return;
    }
    const size_t start = normal_.size();
    const bool needs_slash = !normal_.empty() && normal_ != "/";
    const size_t room = kCapacity - start - (needs_slash ? 1 : 0);
    if (const uint32_t problem = text_problem(component, start >= kCapacity ? 0 : room)) {
        fail(text_problem_message(problem), problem);
        return;
    }
    if (needs_slash) {
        normal_ += '/';
    }
    normal_ += component;
    normalize_from(start);
}

// A relative path is appended to the current directory; one that starts with a slash without
// being absolute (Windows: "/x" on the current drive) to the current directory's root.
std::string VfsPath::absolute_copy() const {
    if (normal_.empty() || is_absolute()) {
        return normal_;
    }
    uint32_t error = 0;
    const std::optional<std::string> directory = path_syntax::current_directory(error);
    if (!directory) {
        fail(format("Failed reading the current directory for '%s'.", normal_), error);
        return normal_;
    }
    const bool rooted = normal_[0] == '/';
    VfsPath absolute(throw_on_error_,
                     rooted ? directory->substr(0, path_syntax::root_length(*directory))
                            : *directory);
    for (const std::string_view component : components_view()) {
        if (component != ".") {
            absolute.append(component);
        }
    }
    return absolute.normal_;
}

bool VfsPath::exists() const noexcept {
    return attributes() != kInvalidAttributes;
}

bool VfsPath::is_directory() const noexcept {
    const uint32_t attributes_now = attributes();
    return attributes_now != kInvalidAttributes && (attributes_now & kAttributeDirectory) != 0;
}

bool VfsPath::is_file() const noexcept {
    const uint32_t attributes_now = attributes();
    return attributes_now != kInvalidAttributes &&
           (attributes_now & (kAttributeDirectory | kAttributeDevice)) == 0;
}

std::vector<std::string_view> VfsPath::components_view() const {
    std::vector<std::string_view> components;
    if (normal_.empty()) {
        return components;
    }
    if (normal_ == "/") {
        return {std::string_view{}};
    }
    const std::string_view text = normal_;
    size_t begin = 0;
    for (;;) {
        const size_t slash = text.find('/', begin);
        components.push_back(text.substr(begin, slash - begin));
        if (slash == std::string_view::npos) {
            return components;
        }
        begin = slash + 1;
    }
}

std::vector<std::string> VfsPath::components_copy() const {
    const auto views = components_view();
    return {views.begin(), views.end()};
}

} // namespace vesk
