#pragma once
// The job-file tokenizer and the token-level reading operations every directive reader uses.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "access/libpcre.h"

namespace vesk {

class Config;

class Parser {
public:
    // Token kinds; the value is the position in the kinds table.
    enum Kind : int {
        left_paranthesis = 0,
        right_paranthesis,
        comma,
        identifier,
        integer,
        string,
        comment,
        newline,
        invalid,
        end_of_file,
    };

    explicit Parser(std::string_view text);

    // Reads the whole job text into a new, not yet validated Config (top-level loop).
    std::unique_ptr<Config> parse();

    void next_token();
    void expect(int kind);
    void expect_one_of(std::initializer_list<int> kinds);
    [[noreturn]] void fail(std::string_view message) const;

    std::string string_value() const;
    int64_t integer_value() const;
    std::string read_text_argument();
    int64_t read_integer_argument();

    int token_kind() const { return token_kind_; }
    std::string_view token_text() const { return token_text_; }
    int32_t line() const { return line_; }
    static const char* kind_name(int kind);

private:
    void scan_token();

    std::shared_ptr<Regex> regex_;
    std::string_view text_;
    uint32_t cursor_ = 0;
    int32_t line_ = 1;
    std::string_view token_text_;
    int token_kind_ = 0;
    bool utf8_checked_ = false;
};

} // namespace vesk
