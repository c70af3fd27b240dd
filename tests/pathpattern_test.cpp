#include "config/pathpattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

struct Row {
    std::string pattern;
    std::string expression;
    std::vector<std::string> matching;
    std::vector<std::string> not_matching;
};

TEST(PathPattern, TranslationTable) {
    const std::vector<Row> rows = {
        {"*.txt", R"(^[^/]*\.TXT$)", {"a.txt", "A.TXT", ".txt"}, {"d/a.txt", "a.txt.bak"}},
        {"*", R"(^[^/][^/]*$)", {"a", "abc"}, {"", "a/b"}},
        {"**", R"(^.*$)", {"", "a", "a/b/c"}, {}},
        {"?", R"(^[^/]$)", {"a", "\xC3\xA4"}, {"", "ab", "/"}},
        {"docs/**", R"(^DOCS(\/.*)?$)", {"docs", "docs/a", "docs/a/b"}, {"docsx", "x/docs"}},
        {"**/cache", R"(^(.*\/)?CACHE$)", {"cache", "x/cache", "x/y/cache"}, {"xcache"}},
        {"a/**/b", R"(^A(\/.*)?\/B$)", {"a/b", "a/x/b", "a/x/y/b"}, {"ab", "a/xb"}},
        {"a**b", R"(^A.*B$)", {"ab", "axb", "a/x/b"}, {"ba"}},
        {R"(src\*.h)", R"(^SRC\/[^/]*\.H$)", {"src/main.h"}, {"src/a/main.h", "srcmain.h"}},
        {"file1.txt", R"(^FILE1\.TXT$)", {"file1.txt", "FILE1.TXT"}, {"file1xtxt"}},
        {"", "^$", {""}, {"a"}},
        {"logs\\**", R"(^LOGS(\/.*)?$)", {"logs", "logs/a/b"}, {"logsx"}},
        {"[ab]", R"(^\[AB\]$)", {"[ab]"}, {"a"}},
        {"a+b", R"(^A\+B$)", {"a+b"}, {"aab"}},
        {"a.b", R"(^A\.B$)", {"a.b"}, {"axb"}},
        {"read?e.txt", R"(^READ[^/]E\.TXT$)", {"readme.txt", "ReadXe.txt"}, {"read/e.txt"}},
        {"track01.mp3", R"(^TRACK01\.MP3$)", {"track01.mp3", "TRACK01.MP3"}, {}},
        {"x***", R"(^X.*$)", {"x", "x/y"}, {"y"}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PathPattern::translate(row.pattern), row.expression) << row.pattern;
        const PathPattern pattern(row.pattern);
        for (const auto& subject : row.matching) {
            EXPECT_TRUE(pattern.matches(subject)) << row.pattern << " on " << subject;
        }
        for (const auto& subject : row.not_matching) {
            EXPECT_FALSE(pattern.matches(subject)) << row.pattern << " on " << subject;
        }
    }
}

TEST(PathPattern, FoldsNonAsciiLetters) {
    EXPECT_TRUE(PathPattern("\xC3\x84*").matches("\xC3\xA4rger.txt")); // Ä* on ärger
    EXPECT_TRUE(PathPattern("\xC3\xA4*").matches("\xC3\x84RGER"));     // ä* on ÄRGER
    EXPECT_TRUE(PathPattern("\xD0\xB4\xD0\xBE\xD0\xBA").matches("\xD0\x94\xD0\x9E\xD0\x9A"));
    EXPECT_FALSE(PathPattern("\xC3\xA4").matches("a"));
}

// Escaping must make every ASCII punctuation character literal.
TEST(PathPattern, EveryAsciiPunctuationIsLiteral) {
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
}

TEST(PathPattern, SubjectsThatAreNotUtf8NeverThrow) {
    const std::string invalid = "bad\xFF"
                                "name.txt";
    EXPECT_NO_THROW(PathPattern("*").matches(invalid));
    EXPECT_TRUE(PathPattern("*.txt").matches(invalid));
    EXPECT_TRUE(PathPattern("bad?name.txt").matches(invalid)); // one invalid byte, one character
    EXPECT_FALSE(PathPattern("bad??name.txt").matches(invalid));
    EXPECT_TRUE(PathPattern("d/**").matches("d/\xC0\xAF/\xED\xA0\x80"));
}

TEST(PathPattern, LongSubjectsAreCutAtTheFoldingLimit) {
    const std::string long_name = std::string(32767, 'a') + "b";
    EXPECT_TRUE(PathPattern("*a").matches(long_name)); // the final b is not seen
    EXPECT_FALSE(PathPattern("*b").matches(long_name));
}

} // namespace
} // namespace vesk
