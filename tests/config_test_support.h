#pragma once
// Helpers shared by the job-language tests: parsing helpers and the case-file runner.

#include <memory>
#include <string>
#include <string_view>

#include "config/parser.h"
#include "config/select_expr.h"
#include "support/case_file.h"
#include "support/fake_entry.h"

namespace vesk::testing {

// Runs `read` on a parser at the first token of `text`.
template <typename Read>
auto read_from(std::string_view text, Read read) {
    Parser parser(text);
    parser.next_token();
    return read(parser);
}

inline std::unique_ptr<SelectExpr> expression_of(std::string_view text) {
    return read_from(text, read_expression);
}

// `part`, `times` times over.
inline std::string repeat(std::string_view part, size_t times) {
    std::string text;
    while (times-- > 0) {
        text += part;
    }
    return text;
}

} // namespace vesk::testing
