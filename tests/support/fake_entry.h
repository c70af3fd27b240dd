#pragma once
// Test support: a file entry with fixed facts, for selection tests, the parser fuzz target and
// the selection benchmark.

#include <cstdint>
#include <string>
#include <string_view>

#include "config/file_entry.h"

namespace vesk::testing {

class FakeEntry : public IFileEntry {
public:
    explicit FakeEntry(std::string path, uint64_t size = 0, int64_t age = 0)
        : path_(std::move(path)), size_(size), age_(age) {
        const size_t slash = path_.rfind('/');
        name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        parent_ = slash == std::string::npos ? std::string() : path_.substr(0, slash);
    }
    std::string_view name() const override { return name_; }
    std::string_view path() const override { return path_; }
    std::string_view parent() const override { return parent_; }
    bool is_directory() const override { return false; }
    int64_t age() const override { return age_; }
    uint64_t size() const override {
        ++size_calls;
        return size_;
    }

    // How often the size was asked for (to see that expressions short-circuit).
    mutable int size_calls = 0;

private:
    std::string path_, name_, parent_;
    uint64_t size_;
    int64_t age_;
};

} // namespace vesk::testing
