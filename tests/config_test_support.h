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
#include "support/fake_entry.h"

namespace vesk::testing {

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
