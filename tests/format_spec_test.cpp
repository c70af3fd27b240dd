#include "config/format_spec.h"

#include <gtest/gtest.h>

#include "config/parser.h"
#include "config_test_support.h"

namespace vesk {
namespace {

// Runs `read` on a parser at the first token of `text` and renders what it read.
template <typename Read>
std::string rendered(std::string_view text, Read read) {
    Parser parser(text);
    parser.next_token();
    const auto item = read(parser);
    // A reader must stop after its closing parenthesis.
    if (parser.token_kind() != Parser::end_of_file) {
        return "stopped before " + std::string(parser.token_text());
    }
    if constexpr (std::is_same_v<decltype(item), const SelectorVerifier>) {
        return item.to_text();
    } else {
        return item->to_text();
    }
}

TEST(FormatSpecification, ReadersRenderWhatTheyReadOrReport) {
    testing::check_cases(
        "format_spec_cases.txt",
        {{"format specification",
          [](auto text) { return rendered(text, read_format_specification); }},
         {"selector", [](auto text) { return rendered(text, read_format_selector); }},
         {"verifier", [](auto text) { return rendered(text, read_selector_verifier); }}});
}

} // namespace
} // namespace vesk
