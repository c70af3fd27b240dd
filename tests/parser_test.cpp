#include "config/parser.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "config_test_support.h"

using namespace vesk;

namespace {

// The tokens of `text`, one a line as "kind line text", up to the end or an invalid token.
std::string tokens_of(std::string_view text) {
    Parser parser(text);
    std::string tokens;
    do {
        parser.next_token();
        tokens += std::string(tokens.empty() ? "" : "\n") + Parser::kind_name(parser.token_kind()) +
                  " " + std::to_string(parser.line()) + " " + std::string(parser.token_text());
    } while (parser.token_kind() != Parser::end_of_file && parser.token_kind() != Parser::invalid);
    return tokens;
}

// Reads the text argument that starts `text`.
std::string text_argument(std::string_view text) {
    return vesk::testing::read_from(text,
                                    [](Parser& parser) { return parser.read_text_argument(); });
}

// Runs the member `read` of a parser at the first token of `text`.
template <auto read>
std::string integer(std::string_view text) {
    return std::to_string(vesk::testing::read_from(text, [](Parser& p) { return (p.*read)(); }));
}

} // namespace

TEST(Parser, TokensIntegersAndArguments) {
    vesk::testing::check_cases("parser_cases.txt",
                               {{"tokens", tokens_of},
                                {"integer", integer<&Parser::integer_value>},
                                {"text argument", text_argument},
                                {"integer argument", integer<&Parser::read_integer_argument>}});
}

// Long strings, doubled quotes, line breaks and runs of blanks cost the matcher nothing per
// character, up to the size limit of a job file; an unterminated string stays an invalid token.
TEST(Parser, LongTextsDoNotExhaustTheMatcher) {
    const std::string big = "\"" + std::string(1 << 20, 'x') + "\"" + std::string(100000, ' ') +
                            std::string(100000, '\t') + "end";
    EXPECT_TRUE(tokens_of(big) ==
                "string 1 " + big.substr(0, (1 << 20) + 2) + "\nidentifier 1 end\nend-of-file 1 ");
    const std::string unterminated = "(\"" + std::string((1 << 20) - 3, 'x');
    const std::vector<std::pair<std::string, std::string>> cases{
        {"(\"" + vesk::testing::repeat("\"\"", 524000) + "\")", std::string(524000, '"')},
        {"(\"" + vesk::testing::repeat("a\"\"\r\n", 209000) + "\")",
         vesk::testing::repeat("a\"\r\n", 209000)},
        {unterminated, "Error on line 1: Unexpected token <invalid> '" + unterminated.substr(1) +
                           "'. expected one of <<string>>."},
    };
    for (const auto& [text, outcome] : cases) {
        const std::string result = vesk::testing::outcome_of([&] { return text_argument(text); });
        EXPECT_TRUE(result == outcome) << result.substr(0, 100);
    }
}
