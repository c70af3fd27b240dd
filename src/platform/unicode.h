#pragma once
// UTF-8 <-> UTF-16 conversion into caller buffers, and upper-casing of UTF-16 text.
//
// Names on Linux are byte strings that need not be valid UTF-8. The decoder therefore never
// fails: each byte that does not start a well-formed UTF-8 sequence becomes one U+FFFD, and the
// encoder turns a lone surrogate into U+FFFD. The UTF-8 these functions produce is always valid.

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk {

// Capacity of the folding buffers: UTF-16 units, and UTF-8 bytes (three per unit).
inline constexpr size_t fold_max_units = 32767;
inline constexpr size_t fold_max_bytes = fold_max_units * 3;

inline constexpr char16_t replacement_character = 0xFFFD;

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when its first byte
// does not start one (bad lead byte, bad or missing continuation, overlong form, surrogate, or a
// code point above U+10FFFF). `text` must not be empty.
size_t utf8_sequence_length(std::string_view text);

// True when the text is well-formed UTF-8 (no overlong forms, surrogates or values beyond
// U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Decodes `text` into at most `capacity` units of `out` and returns the number of units
// written. `consumed` receives the number of bytes of `text` decoded; a character whose units do
// not fit completely is left out, so a surrogate pair is never split.
size_t utf8_to_utf16(std::string_view text, char16_t* out, size_t capacity, size_t& consumed);

// Encodes `units` into at most `capacity` bytes of `out` and returns the number of bytes
// written. `consumed` receives the number of units encoded; a character whose bytes do not fit
// completely is left out.
size_t utf16_to_utf8(std::u16string_view units, char* out, size_t capacity, size_t& consumed);

// Whole-string forms of the two converters, with the same replacement rules.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view units);

// Upper-cases every unit that is not part of a surrogate pair, one unit to one unit, with the
// C library's wide-character mapping of the "C.UTF-8" locale. Surrogates stay unchanged.
void upper_case(char16_t* units, size_t count);

// Buffers for `fold_case`; large (about 160 KiB), meant to live on the caller's stack.
struct FoldBuffer {
    char16_t units[fold_max_units];
    char bytes[fold_max_bytes];
};

// Upper-cases UTF-8 text through UTF-16: the text is cut after `fold_max_units` units. The
// result is valid UTF-8 and points into `buffer`. Text of ASCII characters only takes a
// shortcut with the same result.
std::string_view fold_case(std::string_view text, FoldBuffer& buffer);

// `fold_case` into a new string.
std::string fold_case(std::string_view text);

} // namespace vesk
