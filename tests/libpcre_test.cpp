#include "access/libpcre.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/case_file.h"

namespace vesk {
namespace {

using testing::message_of;

std::shared_ptr<Regex> make(std::string_view pattern, int options = UTF8 | DOTALL) {
    return std::make_shared<Regex>(pattern, options);
}

// For each subject after the pattern, one a line: its groups in brackets, or "no match".
std::string matches(std::string_view text, int options) {
    const auto regex = make(text.substr(0, text.find('\n')), options);
    std::string outcome;
    testing::answers(text, [&](const std::string& subject) {
        std::string line;
        const auto groups = regex->match(subject);
        EXPECT_EQ(regex->is_match(subject), !groups.empty()) << subject;
        for (const std::string_view group : groups) {
            line += "[" + std::string(group) + "]";
        }
        outcome += (outcome.empty() ? "" : "\n") + (line.empty() ? "no match" : line);
        return true;
    });
    return outcome;
}

// Pattern, replacement, subject and optional offset, one a line: the result and the calls.
std::string replaced(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::string pattern, replacement, subject, calls;
    int offset = 0;
    std::getline(lines, pattern);
    std::getline(lines, replacement);
    std::getline(lines, subject);
    lines >> offset; // 0 when there is none
    const auto bracket = [&](uint32_t group, std::string_view found, bool matched) {
        calls += (calls.empty() ? "" : " ") + std::to_string(group) + ":" + std::string(found);
        return matched ? "[" + std::string(found) + "]" : std::string("?");
    };
    const std::string result =
        make(pattern)->replacer(replacement, '$').replace_all(subject, bracket, offset, 0);
    return result + "\n" + calls;
}

TEST(Regex, MatchesReplacesAndFailsWithTheirTexts) {
    testing::check_cases("libpcre_cases.txt",
                         {{"match", [](auto text) { return matches(text, UTF8 | DOTALL); }},
                          {"caseless", [](auto text) { return matches(text, CASELESS); }},
                          {"replace", replaced}});
    const std::string subject = "b";
    EXPECT_EQ(make("(b)")->match(subject)[0].data(), subject.data()); // slices, not copies
    EXPECT_EQ(Regex_exception::message_for(-99), "Regex_exception: Internal error: Unknown error");
    // The recursion limit turns a deep match into an error.
    auto regex = make("^(?:a|b)*$");
    regex->set_match_limit_recursion(100);
    EXPECT_EQ(message_of([&] { regex->is_match(std::string(100000, 'a')); }),
              Regex_exception::message_for(-21));
    // A capture reference may occur at most 65535 times in a replacement.
    regex = make("(a)(b)");
    std::string many;
    for (int i = 0; i < 65535; ++i) {
        many += "$1$";
    }
    EXPECT_NO_THROW(regex->replacer(many, '$'));
    EXPECT_EQ(message_of([&] { regex->replacer(many + "$1$", '$'); }),
              "Regex_exception: Error parsing replacement text: A single capture reference may not "
              "occur more than 65535 times.");
}

} // namespace
} // namespace vesk
