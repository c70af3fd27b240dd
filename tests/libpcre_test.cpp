#include "access/libpcre.h"

#include <gtest/gtest.h>

#include <map>

using namespace vesk;

namespace {

std::shared_ptr<Regex> make(std::string_view pattern, int options = UTF8 | DOTALL) {
    return std::make_shared<Regex>(pattern, options);
}

std::string message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const Regex_exception& e) {
        return e.what();
    }
    return "no exception";
}

} // namespace

TEST(Regex, MatchReturnsOneSlicePerGroupWithUnsetGroupsEmpty) {
    auto regex = make("(a)|(b)");
    EXPECT_EQ(regex->group_count(), 3u);
    const std::string subject = "b";
    auto groups = regex->match(subject);
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0], "b");
    EXPECT_TRUE(groups[1].empty());
    EXPECT_EQ(groups[2], "b");
    // Slices point into the subject, not into copies.
    EXPECT_EQ(groups[0].data(), subject.data());
}

TEST(Regex, NoMatchEmptySubjectPartialAndCaseless) {
    EXPECT_TRUE(make("x+")->match("abc").empty());
    EXPECT_FALSE(make("x+")->is_match("abc"));
    EXPECT_TRUE(make("^$")->is_match(""));
    EXPECT_FALSE(make("^a$")->is_match(""));
    auto partial = make("abcd");
    const int partial_soft = 0x8000;
    EXPECT_FALSE(partial->is_match("xxab", 0, partial_soft));
    EXPECT_TRUE(partial->is_match_or_partial("xxab", 0, partial_soft));
    EXPECT_FALSE(partial->is_match_or_partial("xxq", 0, partial_soft));
    // Without the UTF8 option, letter case is ignored and invalid UTF-8 is just bytes.
    EXPECT_TRUE(make("^READ", CASELESS)->is_match("readme.txt"));
    EXPECT_TRUE(make("\xff", CASELESS)->is_match("a\xff"));
}

TEST(Regex, ErrorsCarryTheirTexts) {
    EXPECT_EQ(message_of([] { make("a")->is_match("\xC3"); }),
              "Regex_exception: A string that contains an invalid UTF-8 byte sequence was passed "
              "as a subject.");
    const std::string compile = message_of([] { make("(a"); });
    EXPECT_EQ(compile.rfind("Regex_exception: ", 0), 0u);
    EXPECT_NE(compile, "Regex_exception: ");
    EXPECT_EQ(Regex_exception::message_for(-99), "Regex_exception: Internal error: Unknown error");
    try {
        make("a")->match("\xC3\x28");
        FAIL();
    } catch (const Regex_exception& e) {
        EXPECT_EQ(e.regex(), "a");
        EXPECT_EQ(e.subject(), "\xC3\x28");
    }
    // The recursion limit turns a deep match into an error.
    auto regex = make("^(?:a|b)*$");
    regex->set_match_limit_recursion(100);
    const std::string deep(100000, 'a');
    EXPECT_EQ(message_of([&] { regex->is_match(deep); }), Regex_exception::message_for(-21));
}

TEST(Regex_replace, ParsesSegmentsAndReplacesFirstMatch) {
    auto regex = make("(b)");
    auto replace = regex->replacer("x$1$y", '$');
    int offset = 0;
    EXPECT_EQ(replace.replace_at("abc", offset, 0), "axbyc");
    EXPECT_EQ(offset, 2);
    offset = 0;
    EXPECT_EQ(replace.replace_at("zzz", offset, 0), "zzz");
    EXPECT_EQ(offset, -1);
    // The text before the match is kept from the very start, not from the offset.
    EXPECT_EQ(replace.replace("abcb", 2, 0), "abcxby");
}

TEST(Regex_replace, EscapesAndBadReplacementTexts) {
    auto regex = make("(a)(b)");
    EXPECT_EQ(regex->replacer("$$", '$').replace("ab", 0, 0), "$");
    EXPECT_EQ(regex->replacer("<$9$>", '$').replace("ab", 0, 0), "<>");
    EXPECT_EQ(message_of([&] { regex->replacer("x$", '$'); }),
              "Regex_exception: Error parsing replacement text: Expected additional '$' at end.");
    for (const char* unterminated : {"$12", "$1x"}) {
        EXPECT_EQ(message_of([&] { regex->replacer(unterminated, '$'); }),
                  "Regex_exception: Error parsing replacement text: Capture references must end "
                  "with a '$' character.");
    }
    EXPECT_EQ(message_of([&] { regex->replacer("$name$", '$'); }),
              "Regex_exception: Named groups is not supported in replacement text yet, use only "
              "groups by index.");
    std::string many;
    for (int i = 0; i < 65535; ++i) {
        many += "$1$";
    }
    EXPECT_NO_THROW(regex->replacer(many, '$'));
    EXPECT_EQ(message_of([&] { regex->replacer(many + "$1$", '$'); }),
              "Regex_exception: Error parsing replacement text: A single capture reference may "
              "not occur more than 65535 times.");
}

TEST(Regex_replace, CallbackOncePerDistinctGroupInAscendingOrder) {
    auto regex = make("(x)?(b)");
    auto replace = regex->replacer("$2$-$1$-$2$", '$');
    std::vector<std::tuple<uint32_t, std::string, bool>> calls;
    const std::string result = replace.replace(
        "ab",
        [&](uint32_t group, std::string_view text, bool matched) {
            calls.emplace_back(group, std::string(text), matched);
            return matched ? "[" + std::string(text) + "]" : std::string("?");
        },
        0, 0);
    EXPECT_EQ(result, "a[b]-?-[b]");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], std::make_tuple(1u, std::string(), false));
    EXPECT_EQ(calls[1], std::make_tuple(2u, std::string("b"), true));
}

TEST(Regex_replace, ReplaceAllExpandsVariablesOnceAndEndsAfterEmptyMatches) {
    auto replace = make("(%[^%]*%)")->replacer("$1$", '$');
    const std::map<std::string, std::string> values{{"%a%", "A"}, {"%b%", "BB"}, {"%c%", "%a%"}};
    auto lookup = [&](uint32_t, std::string_view text, bool) {
        return values.at(std::string(text));
    };
    EXPECT_EQ(replace.replace_all("x%a%y%b%z", lookup, 0, 0), "xAyBBz");
    EXPECT_EQ(replace.replace_all("%c%%b%", lookup, 0, 0), "%a%BB");
    EXPECT_EQ(replace.replace_all("100", lookup, 0, 0), "100");
    // The look-behind sees the text produced so far.
    EXPECT_EQ(make("(?<=X)(a)")->replacer("X", '$').replace_all("Xaaa", 0, 0), "XXXX");
    // An empty match advances by one character, UTF-8 sequences included.
    EXPECT_EQ(make("(x*)")->replacer("-", '$').replace_all("a\xC3\xA4"
                                                           "b",
                                                           0, 0),
              "-a-\xC3\xA4-b-");
}
