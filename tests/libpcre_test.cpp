#include "access/libpcre.h"

#include <gtest/gtest.h>

#include <map>

#include "support/case_file.h"

namespace vesk {
namespace {

using testing::message_of;

std::shared_ptr<Regex> make(std::string_view pattern, int options = UTF8 | DOTALL) {
    return std::make_shared<Regex>(pattern, options);
}

TEST(Regex, MatchesAndFailsWithTheirTexts) {
    const std::string subject = "b";
    const auto groups = make("(a)|(b)")->match(subject);
    EXPECT_EQ(groups, (std::vector<std::string_view>{"b", "", "b"}));
    EXPECT_EQ(groups[0].data(), subject.data()); // slices of the subject, not copies
    EXPECT_TRUE(make("x+")->match("abc").empty());
    EXPECT_TRUE(make("^$")->is_match(""));
    EXPECT_FALSE(make("^a$")->is_match(""));
    // Without the UTF8 option, letter case is ignored and invalid UTF-8 is just bytes.
    EXPECT_TRUE(make("^READ", CASELESS)->is_match("readme.txt"));
    EXPECT_TRUE(make("\xff", CASELESS)->is_match("a\xff"));

    EXPECT_EQ(message_of([] { make("a")->is_match("\xC3"); }),
              "Regex_exception: A string that contains an invalid UTF-8 byte sequence was passed "
              "as a subject.");
    EXPECT_TRUE(message_of([] { make("(a"); }).starts_with("Regex_exception: missing )"));
    EXPECT_EQ(Regex_exception::message_for(-99), "Regex_exception: Internal error: Unknown error");
    // The recursion limit turns a deep match into an error.
    auto regex = make("^(?:a|b)*$");
    regex->set_match_limit_recursion(100);
    EXPECT_EQ(message_of([&] { regex->is_match(std::string(100000, 'a')); }),
              Regex_exception::message_for(-21));
}

// The callback is asked once per distinct group, in ascending order; its texts are inserted
// where the replacement text refers to the group.
TEST(Regex_replace, ReplacesEveryMatchOnce) {
    std::vector<std::string> calls;
    const ReplaceCallback bracket = [&](uint32_t group, std::string_view text, bool matched) {
        calls.push_back(std::to_string(group) + ":" + std::string(text));
        return matched ? "[" + std::string(text) + "]" : std::string("?");
    };
    EXPECT_EQ(make("(x)?(b)")->replacer("$2$-$1$-$2$$$", '$').replace_all("abab", bracket, 1, 0),
              "a[b]-?-[b]$a[b]-?-[b]$");
    EXPECT_EQ(calls, (std::vector<std::string>{"1:", "2:b", "1:", "2:b"}));
    EXPECT_EQ(make("(b)")->replacer("<$9$>", '$').replace_all("abc", bracket, 0, 0), "a<>c");

    // Inserted text is not searched again, but a look-behind sees it.
    const std::map<std::string, std::string> values{{"%a%", "A"}, {"%b%", "BB"}, {"%c%", "%a%"}};
    const ReplaceCallback lookup = [&](uint32_t, std::string_view text, bool) {
        return values.at(std::string(text));
    };
    auto variables = make("(%[^%]*%)")->replacer("$1$", '$');
    EXPECT_EQ(variables.replace_all("x%a%y%b%z", lookup, 0, 0), "xAyBBz");
    EXPECT_EQ(variables.replace_all("%c%%b%", lookup, 0, 0), "%a%BB");
    EXPECT_EQ(variables.replace_all("100", lookup, 0, 0), "100");
    EXPECT_EQ(make("(?<=X)(a)")->replacer("X", '$').replace_all("Xaaa", lookup, 0, 0), "XXXX");
    // An empty match advances by one character, UTF-8 sequences included.
    EXPECT_EQ(make("(x*)")->replacer("-", '$').replace_all("a\xC3\xA4z", lookup, 0, 0),
              "-a-\xC3\xA4-z-");
}

TEST(Regex_replace, BadReplacementTexts) {
    auto regex = make("(a)(b)");
    const std::string parsing = "Regex_exception: Error parsing replacement text: ";
    EXPECT_EQ(message_of([&] { regex->replacer("x$", '$'); }),
              parsing + "Expected additional '$' at end.");
    for (const char* unterminated : {"$12", "$1x"}) {
        EXPECT_EQ(message_of([&] { regex->replacer(unterminated, '$'); }),
                  parsing + "Capture references must end with a '$' character.");
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
              parsing + "A single capture reference may not occur more than 65535 times.");
}

} // namespace
} // namespace vesk
