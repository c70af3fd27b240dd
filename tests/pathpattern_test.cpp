#include "config/pathpattern.h"

#include <gtest/gtest.h>

#include <string>

#include "support/case_file.h"

namespace vesk {
namespace {

TEST(PathPattern, TranslationsAndMatches) {
    testing::check_cases("pathpattern_cases.txt",
                         {{"translate", [](auto text) { return PathPattern::translate(text); }},
                          {"matches", [](auto text) {
                               const PathPattern pattern(text.substr(0, text.find('\n')));
                               return testing::answers(
                                   text, [&](auto subject) { return pattern.matches(subject); });
                           }}});
}

// Escaping must make every ASCII punctuation character literal.
TEST(PathPattern, PunctuationIsLiteralAndLongSubjectsAreCut) {
    for (int c = 1; c < 128; ++c) {
        const char ch = static_cast<char>(c);
        if (std::isalnum(c) || ch == '*' || ch == '?' || ch == '/' || ch == '\\') {
            continue;
        }
        const std::string text = std::string("a") + ch + "b";
        const PathPattern pattern(text);
        EXPECT_TRUE(pattern.matches(text)) << c;
        EXPECT_FALSE(pattern.matches("a!!b")) << c;
    }
    // Long subjects are cut at the folding limit.
    const std::string long_name = std::string(32767, 'a') + "b";
    EXPECT_TRUE(PathPattern("*a").matches(long_name)); // the final b is not seen
    EXPECT_FALSE(PathPattern("*b").matches(long_name));
}

} // namespace
} // namespace vesk
