#include "platform/unicode.h"

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace vesk {

namespace {

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

bool is_high_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}
bool is_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

char32_t decode(std::string_view text, size_t length) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (length == 1) {
        return at(0);
    }
    char32_t code = at(0) & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        code = (code << 6) | (at(i) & 0x3F);
    }
    return code;
}

size_t encode(char32_t code, char* out) {
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code >> 6));
        out[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code >> 12));
        out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

bool is_ascii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

size_t utf8_sequence_length(std::string_view text) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || at(1) < low || at(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (!is_continuation(at(i))) {
            return 0;
        }
    }
    return length;
}

bool is_valid_utf8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        const size_t length = utf8_sequence_length(text.substr(pos));
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

size_t utf8_to_utf16(std::string_view text, char16_t* out, size_t capacity, size_t& consumed) {
    size_t units = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t length = utf8_sequence_length(text.substr(pos));
        const char32_t code = length ? decode(text.substr(pos), length) : replacement_character;
        const size_t needed = code >= 0x10000 ? 2 : 1;
        if (units + needed > capacity) {
            break;
        }
        if (needed == 2) {
            out[units++] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out[units++] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out[units++] = static_cast<char16_t>(code);
        }
        pos += length ? length : 1;
    }
    consumed = pos;
    return units;
}

size_t utf16_to_utf8(std::u16string_view units, char* out, size_t capacity, size_t& consumed) {
    size_t bytes = 0;
    size_t pos = 0;
    char encoded[4];
    while (pos < units.size()) {
        const char16_t unit = units[pos];
        char32_t code = unit;
        size_t taken = 1;
        if (is_high_surrogate(unit) && pos + 1 < units.size() && is_low_surrogate(units[pos + 1])) {
            code = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (units[pos + 1] - 0xDC00);
            taken = 2;
        } else if (is_surrogate(unit)) {
            code = replacement_character;
        }
        const size_t length = encode(code, encoded);
        if (bytes + length > capacity) {
            break;
        }
        for (size_t i = 0; i < length; ++i) {
            out[bytes++] = encoded[i];
        }
        pos += taken;
    }
    consumed = pos;
    return bytes;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string units(text.size(), u'\0');
    size_t consumed = 0;
    units.resize(utf8_to_utf16(text, units.data(), units.size(), consumed));
    return units;
}

std::string utf16_to_utf8(std::u16string_view units) {
    std::string bytes(units.size() * 3, '\0');
    size_t consumed = 0;
    bytes.resize(utf16_to_utf8(units, bytes.data(), bytes.size(), consumed));
    return bytes;
}

std::string_view fold_case(std::string_view text, FoldBuffer& buffer) {
    const std::string_view head = text.substr(0, fold_max_units);
    if (is_ascii(head)) {
        for (size_t i = 0; i < head.size(); ++i) {
            const char c = head[i];
            buffer.bytes[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        }
        return {buffer.bytes, head.size()};
    }
    size_t consumed = 0;
    const size_t units = utf8_to_utf16(text, buffer.units, fold_max_units, consumed);
    upper_case(buffer.units, units);
    const size_t bytes =
        utf16_to_utf8({buffer.units, units}, buffer.bytes, fold_max_bytes, consumed);
    return {buffer.bytes, bytes};
}

std::string fold_case(std::string_view text) {
    const auto buffer = std::make_unique<FoldBuffer>();
    return std::string(fold_case(text, *buffer));
}

} // namespace vesk
