#include "config/select_expr.h"

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/parser.h"
#include "config_test_support.h"

namespace vesk {
namespace {

using testing::expression_of;
using testing::FakeEntry;
using testing::message_of;

Selector selector_of(std::string_view text) {
    Parser parser(text);
    parser.next_token();
    return read_selector(parser);
}

bool selects(const Selector& selector, const std::string& path) {
    return selector.selects(FakeEntry(path));
}

TEST(Selector, FirstNonMatchingItemStopsTheWalk) {
    const Selector two_excludes =
        selector_of(R"j(select_files(exclude(name("*.tmp")), exclude(name("*.bak"))))j");
    EXPECT_FALSE(selects(two_excludes, "a.tmp"));
    EXPECT_TRUE(selects(two_excludes, "a.bak")); // stops at the first item

    const Selector mixed = selector_of(
        R"j(select_files(include(), exclude(name("*.tmp")), include(path("keep/**")),))j");
    EXPECT_TRUE(selects(mixed, "keep/x.tmp"));
    EXPECT_FALSE(selects(mixed, "x.tmp"));
    EXPECT_TRUE(selects(mixed, "x.doc"));

    const Selector include_src = selector_of(R"j(select_dirs(include(name("src"))))j");
    EXPECT_TRUE(selects(include_src, "src"));
    EXPECT_TRUE(selects(include_src, "other"));

    EXPECT_TRUE(selects(selector_of("select_files()"), "x"));
    EXPECT_TRUE(selects(selector_of("select_files(include())"), "x"));
    EXPECT_FALSE(selects(selector_of("select_files(exclude())"), "x"));
}

TEST(Selector, RendersItemsAsAList) {
    EXPECT_EQ(selector_of("select_files()").to_text(), "");
    EXPECT_EQ(selector_of(R"j(select_files(include(), exclude(larger(5))))j").to_text(),
              "\ninclude()\n, exclude(larger(5))\n");
}

TEST(Selector, ReaderMessages) {
    EXPECT_EQ(message_of([] { selector_of("select_files(keep(name(\"x\")))"); }),
              "Error on line 1: selectors must be wrapped in either 'include' or 'exclude' "
              "determinators. 'keep' is not a recognized determinator.");
    EXPECT_EQ(message_of([] { selector_of("select_files(include(),,)"); }),
              "Error on line 1: Unexpected token <comma> ','. expected one of <<identifier>>.");
    EXPECT_EQ(message_of([] { selector_of("select_files(include() include())"); }),
              "Error on line 1: Unexpected token <identifier> 'include'. expected one of "
              "<<comma>, <right-paranthesis>>.");
    EXPECT_EQ(message_of([] { selector_of("select_files(\n\ninclude(size(10)))"); }),
              "Error on line 3: the clause must be one of 'path_re', 'name_re', 'parent_re', "
              "'larger', 'smaller', 'older', 'younger'. 'size' is not a recognized clause.");
}

TEST(SelectExpr, SizeAndAgeClausesCompareStrictly) {
    const auto between = expression_of("larger(1k) and smaller(1m)");
    EXPECT_FALSE(between->matches(FakeEntry("f", 1024)));
    EXPECT_TRUE(between->matches(FakeEntry("f", 1025)));
    EXPECT_TRUE(between->matches(FakeEntry("f", 1048575)));
    EXPECT_FALSE(between->matches(FakeEntry("f", 1048576)));
    // Negative limits compare as huge unsigned numbers.
    EXPECT_FALSE(expression_of("larger(-1)")->matches(FakeEntry("f", UINT64_MAX - 1)));
    EXPECT_TRUE(expression_of("smaller(-1)")->matches(FakeEntry("f", UINT64_MAX - 1)));

    const auto older = expression_of(R"j(older("1h"))j");
    EXPECT_FALSE(older->matches(FakeEntry("f", 0, 3600)));
    EXPECT_TRUE(older->matches(FakeEntry("f", 0, 3601)));
    const auto younger = expression_of(R"j(younger("1h"))j");
    EXPECT_FALSE(younger->matches(FakeEntry("f", 0, 3600)));
    EXPECT_TRUE(younger->matches(FakeEntry("f", 0, -5)));
}

TEST(SelectExpr, RegexClausesSearchBytesCaseInsensitively) {
    EXPECT_TRUE(expression_of(R"j(name_re("^READ"))j")->matches(FakeEntry("d/readme.txt")));
    EXPECT_TRUE(expression_of(R"j(name_re("me"))j")->matches(FakeEntry("d/readme.txt")));
    EXPECT_FALSE(expression_of(R"j(name_re("^me"))j")->matches(FakeEntry("d/readme.txt")));
    EXPECT_TRUE(expression_of(R"j(parent_re("^D$"))j")->matches(FakeEntry("d/readme.txt")));
    EXPECT_TRUE(expression_of(R"j(path_re("d/r"))j")->matches(FakeEntry("d/readme.txt")));
    // Raw bytes: a name that is not UTF-8 is matched byte by byte, without error.
    const FakeEntry odd("d/a\xFF"
                        "b");
    EXPECT_TRUE(expression_of(R"j(name_re("a\xffb"))j")->matches(odd));
    EXPECT_TRUE(expression_of(R"j(name_re("^a.b$"))j")->matches(odd));
    EXPECT_TRUE(expression_of(R"j(name("a?b") and path("d/*") and parent("D"))j")->matches(odd));
    // Letter case is ignored for ASCII only: ä does not match Ä in a regex clause.
    EXPECT_FALSE(expression_of("name_re(\"\xC3\x84\")")->matches(FakeEntry("\xC3\xA4")));
    EXPECT_TRUE(expression_of("name(\"\xC3\x84\")")->matches(FakeEntry("\xC3\xA4")));
}

TEST(SelectExpr, BadRegexThrowsWithoutLineNumber) {
    const std::string message = message_of([] { expression_of("\n\nname_re(\"(\")"); });
    EXPECT_EQ(message.rfind("Regex_exception: ", 0), 0u) << message;
}

TEST(SelectExpr, PrecedenceAndRendering) {
    EXPECT_EQ(expression_of(R"j(name("a") or name("b") and name("c"))j")->to_text(),
              "( name(<pattern>) or ( name(<pattern>) and name(<pattern>) ) )");
    EXPECT_EQ(expression_of(R"j(not name("a") and path("b"))j")->to_text(),
              "( not name(<pattern>) and path(<pattern>) )");
    EXPECT_EQ(expression_of(R"j((parent("a") or path_re("b")) and not (name_re("c")))j")->to_text(),
              "( ( parent(<pattern>) or path_re(<regex>) ) and not name_re(<regex>) )");
    EXPECT_EQ(expression_of(R"j(larger(1k) or smaller(-2) or parent_re("x"))j")->to_text(),
              "( ( larger(1024) or smaller(-2) ) or parent_re(<regex>) )");
    EXPECT_EQ(expression_of(R"j(older("1d 12h") and younger("90m"))j")->to_text(),
              "( older(129600) and younger(5400) )");
    EXPECT_EQ(message_of([] { expression_of(R"j(not not name("a"))j"); }),
              "Error on line 1: the clause must be one of 'path_re', 'name_re', 'parent_re', "
              "'larger', 'smaller', 'older', 'younger'. 'not' is not a recognized clause.");
}

TEST(SelectExpr, OperatorsShortCircuit) {
    const FakeEntry entry("f", 10);
    EXPECT_TRUE(expression_of("larger(1) or larger(2)")->matches(entry));
    EXPECT_EQ(entry.size_calls, 1);
    EXPECT_FALSE(expression_of("larger(100) and larger(2)")->matches(entry));
    EXPECT_EQ(entry.size_calls, 2);
    EXPECT_TRUE(expression_of("not larger(100) and larger(2)")->matches(entry));
    EXPECT_EQ(entry.size_calls, 4);
}

TEST(SelectExpr, DeepExpressionsAreRejectedNotOverflowed) {
    const auto nested = [](int depth) {
        return std::string(depth, '(') + "larger(1)" + std::string(depth, ')');
    };
    EXPECT_NO_THROW(expression_of(nested(max_expression_depth)));
    const std::string too_deep =
        "Error on line 1: expressions may nest at most 1000 levels of operators and "
        "parentheses.";
    EXPECT_EQ(message_of([&] { expression_of(nested(100000)); }), too_deep);

    std::string chain = "larger(1)";
    for (int i = 0; i < 5000; ++i) {
        chain += " or larger(1)";
    }
    EXPECT_EQ(message_of([&] { expression_of(chain); }), too_deep);
}

int64_t duration(std::string_view text) {
    Parser parser("");
    return parse_duration(parser, text);
}

TEST(Duration, ComponentsAndUnits) {
    EXPECT_EQ(duration("1d 12h"), 129600);
    EXPECT_EQ(duration("90m"), 5400);
    EXPECT_EQ(duration(""), 0);
    EXPECT_EQ(duration("  \t "), 0);
    EXPECT_EQ(duration("-1d"), -86400);
    EXPECT_EQ(duration("2d 1d"), 86400); // a repeated unit replaces the earlier value
    EXPECT_EQ(duration("1 d\n2 h 3m4s"), 86400 + 7200 + 184);
    EXPECT_EQ(duration("s"), 0); // no digits count as 0
    EXPECT_EQ(duration("922337203685477579s"), 922337203685477579);
}

TEST(Duration, Messages) {
    const auto illegal = [](std::string_view text) { return message_of([&] { duration(text); }); };
    EXPECT_EQ(illegal("5"), "Error on line 1: Error while parsing time duration '5'. Illegal "
                            "character '' at position 1..");
    EXPECT_EQ(illegal("5x"), "Error on line 1: Error while parsing time duration '5x'. Illegal "
                             "character 'x' at position 1..");
    EXPECT_EQ(illegal("1D"), "Error on line 1: Error while parsing time duration '1D'. Illegal "
                             "character 'D' at position 1..");
    EXPECT_EQ(illegal("1d --2h"), "Error on line 1: Error while parsing time duration '1d "
                                  "--2h'. Illegal character '-' at position 4..");
    EXPECT_EQ(illegal("9223372036854775800s"),
              "Error on line 1: Error while parsing time duration '9223372036854775800s'. "
              "Numbers gets too big/small at position 18..");
    // Units that overflow when combined into seconds are rejected instead of wrapping.
    EXPECT_EQ(illegal("922337203685477579d"),
              "Error on line 1: Error while parsing time duration '922337203685477579d'. "
              "Numbers gets too big/small at position 19..");
}

} // namespace
} // namespace vesk
