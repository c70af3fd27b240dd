#pragma once
// Helpers shared by the job-language tests: a file entry with fixed facts, and parsing helpers.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "config/file_entry.h"
#include "config/parser.h"
#include "config/select_expr.h"

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

    mutable int size_calls = 0;

private:
    std::string path_, name_, parent_;
    uint64_t size_;
    int64_t age_;
};

// Reads one expression from `text`.
inline std::unique_ptr<SelectExpr> expression_of(std::string_view text) {
    Parser parser(text);
    parser.next_token();
    return read_expression(parser);
}

// Runs `action` and returns the message it throws, or "no error".
template <typename Action>
std::string message_of(Action action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

} // namespace vesk::testing
