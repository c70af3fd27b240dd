#include "platform/unicode.h"

#include <gtest/gtest.h>

#include <random>

namespace vesk {
namespace {

std::string round_trip(std::string_view text) {
    return utf16_to_utf8(utf8_to_utf16(text));
}

TEST(Unicode, ConvertsValidTextBothWays) {
    const std::string text = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80z"; // a ä € 😀 z
    const std::u16string units = utf8_to_utf16(text);
    EXPECT_EQ(units, (std::u16string{u'a', 0x00E4, 0x20AC, 0xD83D, 0xDE00, u'z'}));
    EXPECT_EQ(utf16_to_utf8(units), text);
    EXPECT_EQ(utf8_to_utf16(""), u"");
}

TEST(Unicode, ReplacesEachInvalidByteWithOneReplacementCharacter) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(round_trip("a\xFF"
                         "b"),
              "a" + replacement + "b");
    // Continuation byte in lead position, truncated sequence, overlong form, encoded surrogate.
    EXPECT_EQ(round_trip("\x80"), replacement);
    EXPECT_EQ(round_trip("\xE2\x82"
                         "x"),
              replacement + replacement + "x");
    EXPECT_EQ(round_trip("\xC0\xAF"), replacement + replacement);
    EXPECT_EQ(round_trip("\xED\xA0\x80"), replacement + replacement + replacement);
    EXPECT_EQ(round_trip("\xF4\x90\x80\x80"),
              replacement + replacement + replacement + replacement);
}

TEST(Unicode, LoneSurrogatesEncodeAsReplacementCharacter) {
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xD800, u'a'}), "\xEF\xBF\xBD"
                                                           "a");
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
}

TEST(Unicode, FixedBuffersReportConsumedInputAndNeverSplitAPair) {
    char16_t units[3];
    size_t consumed = 0;
    // "ab😀": the pair does not fit after two units, so it is left out.
    const std::string text = "ab\xF0\x9F\x98\x80";
    EXPECT_EQ(utf8_to_utf16(text, units, 3, consumed), 2u);
    EXPECT_EQ(consumed, 2u);

    char bytes[4];
    const std::u16string wide = u"a\u00E4\u20AC";
    EXPECT_EQ(utf16_to_utf8(wide, bytes, 4, consumed), 3u); // the euro sign needs 3 more
    EXPECT_EQ(consumed, 2u);
    EXPECT_EQ(std::string(bytes, 3), "a\xC3\xA4");
}

TEST(Unicode, UpperCasesAllScriptsUnitByUnit) {
    EXPECT_EQ(fold_case("readme.txt"), "README.TXT");
    EXPECT_EQ(fold_case("\xC3\xA4\xC3\xB6\xC3\xBC"), "\xC3\x84\xC3\x96\xC3\x9C"); // äöü
    EXPECT_EQ(fold_case("\xCE\xB1\xCE\xB2"), "\xCE\x91\xCE\x92");                 // αβ
    EXPECT_EQ(fold_case("\xD0\xB6"), "\xD0\x96");                                 // ж
    // A character outside the BMP passes unchanged (surrogates are not touched).
    EXPECT_EQ(fold_case("\xF0\x90\x90\xA8"), "\xF0\x90\x90\xA8");
    // ß has no one-unit upper case and stays.
    EXPECT_EQ(fold_case("\xC3\x9F"), "\xC3\x9F");
}

TEST(Unicode, FoldingCutsAtTheBufferLength) {
    const std::string ascii(fold_max_units + 10, 'a');
    EXPECT_EQ(fold_case(ascii), std::string(fold_max_units, 'A'));
    // Two-byte characters: cut after fold_max_units characters, not bytes.
    std::string wide;
    for (size_t i = 0; i < fold_max_units + 5; ++i) {
        wide += "\xC3\xA4";
    }
    const std::string folded = fold_case(wide);
    EXPECT_EQ(folded.size(), fold_max_units * 2);
    EXPECT_EQ(folded.substr(0, 2), "\xC3\x84");
}

// The ASCII shortcut must give what the general path gives, which the non-ASCII suffix forces.
TEST(Unicode, AsciiShortcutAgreesWithGeneralPath) {
    for (int c = 1; c < 128; ++c) {
        const std::string ascii(1, static_cast<char>(c));
        const std::string general = fold_case(ascii + "\xC3\xA4");
        EXPECT_EQ(fold_case(ascii) + "\xC3\x84", general) << c;
    }
}

// Independent check: the text decodes without replacements and encodes back unchanged.
bool round_trips(const std::string& text) {
    const std::u16string units = utf8_to_utf16(text);
    return units.find(replacement_character) == std::u16string::npos &&
           utf16_to_utf8(units) == text;
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
        EXPECT_EQ(is_valid_utf8(bytes), round_trips(bytes));
        EXPECT_TRUE(is_valid_utf8(folded));
        if (is_valid_utf8(bytes)) {
            EXPECT_EQ(utf8_to_utf16(folded).size(), utf8_to_utf16(bytes).size());
        }
    }
}

} // namespace
} // namespace vesk
