#include "config/parser.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

using namespace vesk;

namespace {

struct Token {
    int kind;
    std::string text;
    int line;
    bool operator==(const Token&) const = default;
};

std::vector<Token> tokens_of(std::string_view text) {
    Parser parser(text);
    std::vector<Token> tokens;
    do {
        parser.next_token();
        tokens.push_back({parser.token_kind(), std::string(parser.token_text()), parser.line()});
    } while (parser.token_kind() != Parser::end_of_file && parser.token_kind() != Parser::invalid);
    return tokens;
}

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

int64_t integer_of(std::string_view text) {
    Parser parser(text);
    parser.next_token();
    return parser.integer_value();
}

} // namespace

TEST(Parser, KindsAndTokenBoundaries) {
    const std::vector<Token> expected{
        {Parser::identifier, "mode", 1},
        {Parser::left_paranthesis, "(", 1},
        {Parser::integer, "12k", 1},
        {Parser::identifier, "b", 1},
        {Parser::comma, ",", 1},
        {Parser::identifier, "abc", 1},
        {Parser::integer, "123", 1},
        {Parser::string, "\"x\"\"y\"", 1},
        {Parser::right_paranthesis, ")", 1},
        {Parser::end_of_file, "", 1},
    };
    EXPECT_EQ(tokens_of("mode(12kb, abc123 \"x\"\"y\")"), expected);
}

TEST(Parser, BlanksCommentsAndLineNumbers) {
    // Byte-order marks anywhere are blanks; CR LF counts once; breaks in strings do not count.
    const std::string text = "\xEF\xBB\xBF# comment\r\n// other\n\t a \xEF\xBB\xBF b\n\"x\ny\" c";
    const std::vector<Token> expected{
        {Parser::identifier, "a", 3}, {Parser::identifier, "b", 3}, {Parser::string, "\"x\ny\"", 4},
        {Parser::identifier, "c", 4}, {Parser::end_of_file, "", 4},
    };
    EXPECT_EQ(tokens_of(text), expected);
}

TEST(Parser, InvalidTokensTakeTheRestOfTheInput) {
    EXPECT_EQ(tokens_of("/ x").back(), (Token{Parser::invalid, "/ x", 1}));
    EXPECT_EQ(tokens_of("a\f").back(), (Token{Parser::invalid, "\f", 1}));
    EXPECT_EQ(tokens_of("a \r").back(), (Token{Parser::invalid, "\r", 1}));
    // One final line feed is left out of the invalid text, and only one.
    EXPECT_EQ(tokens_of(";)\n").back(), (Token{Parser::invalid, ";)", 1}));
    EXPECT_EQ(tokens_of(";\n\n").back(), (Token{Parser::invalid, ";\n", 1}));
    EXPECT_EQ(tokens_of("\"open\n").back(), (Token{Parser::invalid, "\"open", 1}));
    EXPECT_EQ(tokens_of("  \t\n").back(), (Token{Parser::end_of_file, "", 2}));
}

TEST(Parser, InvalidUtf8IsRejectedByThePatternMatch) {
    EXPECT_EQ(error_of([] { tokens_of("a \xC3("); }),
              "Regex_exception: A string that contains an invalid UTF-8 byte sequence was passed "
              "as a subject.");
}

TEST(Parser, ExpectMessagesNameKindsAndLines) {
    Parser parser("\n\n)");
    parser.next_token();
    EXPECT_EQ(error_of([&] { parser.expect(Parser::left_paranthesis); }),
              "Error on line 3: Unexpected token <right-paranthesis> ')'. expected "
              "<left-paranthesis>.");
    EXPECT_EQ(error_of([&] {
                  parser.expect_one_of({Parser::identifier, Parser::end_of_file});
              }),
              "Error on line 3: Unexpected token <right-paranthesis> ')'. expected one of "
              "<<identifier>, <end-of-file>>.");
    EXPECT_EQ(error_of([&] { parser.fail("Bad thing."); }), "Error on line 3: Bad thing..");
    Parser arguments("(\"a\"\"b\") (7m) ()");
    arguments.next_token();
    EXPECT_EQ(arguments.read_text_argument(), "a\"b");
    EXPECT_EQ(arguments.read_integer_argument(), 7340032);
    EXPECT_EQ(error_of([&] { arguments.read_text_argument(); }),
              "Error on line 1: Unexpected token <right-paranthesis> ')'. expected one of "
              "<<string>>.");
}

TEST(Parser, StringValues) {
    Parser parser("\"a\"\"b\" \"\" \"\"\"\"");
    parser.next_token();
    EXPECT_EQ(parser.string_value(), "a\"b");
    parser.next_token();
    EXPECT_EQ(parser.string_value(), "");
    parser.next_token();
    EXPECT_EQ(parser.string_value(), "\"");
}

TEST(Parser, IntegersSuffixesAndOverflowBoundary) {
    EXPECT_EQ(integer_of("1k"), 1024);
    EXPECT_EQ(integer_of("2M"), 2097152);
    EXPECT_EQ(integer_of("1g"), 1073741824);
    EXPECT_EQ(integer_of("-3k"), -3072);
    EXPECT_EQ(integer_of("922337203685477580"), 922337203685477580);
    EXPECT_EQ(integer_of("9223372036854775799"), 9223372036854775799);
    EXPECT_EQ(error_of([] { integer_of("9223372036854775800"); }),
              "Error on line 1: Error while parsing integer. Numbers gets too big/small..");
}

TEST(Parser, LongTextsDoNotExhaustTheMatcher) {
    // A one-mebibyte string token and long runs of blanks tokenize without errors.
    const std::string big = "\"" + std::string(1 << 20, 'x') + "\"" + std::string(100000, ' ') +
                            std::string(100000, '\t') + "end";
    const auto tokens = tokens_of(big);
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[0].text.size(), (1u << 20) + 2);
    EXPECT_EQ(tokens[1].text, "end");
}

TEST(Parser, StringsOfAnyLengthWithinAJobFile) {
    // Doubled quotes and line breaks cost the matcher nothing per character, up to the size
    // limit of a job file; an unterminated string stays an invalid token.
    const auto repeat = [](std::string_view part, size_t times) {
        std::string text;
        while (times-- > 0) {
            text += part;
        }
        return text;
    };
    const std::string unterminated = "(\"" + std::string((1 << 20) - 3, 'x');
    const std::vector<std::pair<std::string, std::string>> cases{
        {"(\"" + repeat("\"\"", 1000) + "\")", std::string(1000, '"')},
        {"(\"" + repeat("\"\"", 524000) + "\")", std::string(524000, '"')},
        {"(\"" + repeat("a\"\"\r\n", 209000) + "\")", repeat("a\"\r\n", 209000)},
        {unterminated, "Error on line 1: Unexpected token <invalid> '" + unterminated.substr(1) +
                           "'. expected one of <<string>>."},
        // Without a closing quote, the string ends at the first quote of its last doubled quote.
        {"(\"a\"\"b)", "Error on line 1: Unexpected token <invalid> '\"b)'. expected "
                       "<right-paranthesis>."},
    };
    for (const auto& [text, outcome] : cases) {
        Parser parser(text);
        parser.next_token();
        std::string value;
        const std::string error = error_of([&] { value = parser.read_text_argument(); });
        const std::string& result = error == "no exception" ? value : error;
        EXPECT_TRUE(result == outcome) << result.substr(0, 100);
    }
}
