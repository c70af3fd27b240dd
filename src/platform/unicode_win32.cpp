// Win32 upper-casing of UTF-16 text (CharUpperBuffW), and the UTF-16 conversions of the Win32
// backends.

#include <windows.h>

#include "platform/unicode.h"
#include "platform/win32/handle.h"

namespace vesk {

namespace {

bool is_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

} // namespace

// CharUpperBuffW works in place, one unit to one unit. Surrogates are skipped here because some
// implementations upper-case pairs, which Windows itself leaves alone.
void upper_case(char16_t* units, size_t count) {
    size_t start = 0;
    while (start < count) {
        if (is_surrogate(units[start])) {
            ++start;
            continue;
        }
        size_t end = start;
        while (end < count && !is_surrogate(units[end])) {
            ++end;
        }
        ::CharUpperBuffW(reinterpret_cast<wchar_t*>(units + start),
                         static_cast<DWORD>(end - start));
        start = end;
    }
}

std::wstring widen(std::string_view utf8) {
    const std::u16string units = utf8_to_utf16(utf8);
    return {units.begin(), units.end()};
}

std::string narrow(std::wstring_view utf16) {
    return utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size()));
}

} // namespace vesk
