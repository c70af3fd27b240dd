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

// Reads one expression from `text`.
inline std::unique_ptr<SelectExpr> expression_of(std::string_view text) {
    Parser parser(text);
    parser.next_token();
    return read_expression(parser);
}

} // namespace vesk::testing
