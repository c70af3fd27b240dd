#include "platform/unicode.h"

#include <gtest/gtest.h>

#include <random>

#include "support/case_file.h"

namespace vesk {
namespace {

TEST(Unicode, ConvertsAndFoldsText) {
    testing::check_cases(
        "unicode_cases.txt",
        {{"round trip", [](auto text) { return utf16_to_utf8(utf8_to_utf16(text)); }},
         {"fold", [](auto text) { return fold_case(text); }}});
    EXPECT_EQ(utf8_to_utf16("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80z"),
              (std::u16string{u'a', 0x00E4, 0x20AC, 0xD83D, 0xDE00, u'z'}));
    // Lone surrogates encode as the replacement character.
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xD800, u'a', 0xDC00}), "\xEF\xBF\xBD"
                                                                   "a\xEF\xBF\xBD");
}

// Fixed buffers: the conversions report the input they consumed and never split a pair; folding
// cuts at its buffer length, counted in characters, not bytes; the ASCII shortcut gives what the
// general path gives (which a non-ASCII suffix forces).
TEST(Unicode, FixedBuffersAndFoldingLimits) {
    char16_t units[3];
    size_t consumed = 0;
    // "ab😀": the pair does not fit after two units, so it is left out.
    EXPECT_EQ(utf8_to_utf16("ab\xF0\x9F\x98\x80", units, 3, consumed), 2u);
    EXPECT_EQ(consumed, 2u);
    char bytes[4];
    EXPECT_EQ(utf16_to_utf8(u"a\u00E4\u20AC", bytes, 4, consumed), 3u); // the euro sign needs 3
    EXPECT_EQ(consumed, 2u);
    EXPECT_EQ(std::string(bytes, 3), "a\xC3\xA4");

    EXPECT_EQ(fold_case(std::string(fold_max_units + 10, 'a')), std::string(fold_max_units, 'A'));
    std::string wide;
    for (size_t i = 0; i < fold_max_units + 5; ++i) {
        wide += "\xC3\xA4";
    }
    const std::string folded = fold_case(wide);
    EXPECT_EQ(folded.size(), fold_max_units * 2);
    EXPECT_EQ(folded.substr(0, 2), "\xC3\x84");
    for (int c = 1; c < 128; ++c) {
        const std::string ascii(1, static_cast<char>(c));
        EXPECT_EQ(fold_case(ascii) + "\xC3\x84", fold_case(ascii + "\xC3\xA4")) << c;
    }
}

TEST(Unicode, FoldedRandomBytesAreValidUtf8) {
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 12, '\0');
        for (char& b : bytes) {
            b = static_cast<char>(random());
        }
        const std::string folded = fold_case(bytes);
        // Re-decoding the output finds no invalid byte except the replacement characters that
        // are already in it, and encoding gives the same bytes back.
        EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(folded)), folded);
        // Independent check: valid text decodes without replacements and encodes back unchanged.
        const std::u16string units = utf8_to_utf16(bytes);
        EXPECT_EQ(is_valid_utf8(bytes), units.find(replacement_character) == std::u16string::npos &&
                                            utf16_to_utf8(units) == bytes);
        EXPECT_TRUE(is_valid_utf8(folded));
        EXPECT_TRUE(!is_valid_utf8(bytes) || utf8_to_utf16(folded).size() == units.size());
    }
}

} // namespace
} // namespace vesk
