// POSIX upper-casing of UTF-16 text: the C library's wide-character mapping of a UTF-8 locale.

#include <clocale>
#include <locale.h>
#include <stdexcept>
#include <wctype.h>

#include "platform/unicode.h"

namespace vesk {

namespace {

bool is_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

// The locale whose wide-character mapping upper-cases; made once, released at exit. The
// process's global locale is left alone.
class UpperCaseLocale {
public:
    UpperCaseLocale() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{})) {
        if (locale_ == locale_t{}) {
            throw std::runtime_error("The locale 'C.UTF-8' needed for upper-casing is missing.");
        }
    }
    ~UpperCaseLocale() { freelocale(locale_); }
    UpperCaseLocale(const UpperCaseLocale&) = delete;
    UpperCaseLocale& operator=(const UpperCaseLocale&) = delete;
    locale_t get() const { return locale_; }

private:
    locale_t locale_;
};

locale_t upper_case_locale() {
    static const UpperCaseLocale locale;
    return locale.get();
}

} // namespace

void upper_case(char16_t* units, size_t count) {
    const locale_t locale = upper_case_locale();
    for (size_t i = 0; i < count; ++i) {
        if (is_surrogate(units[i])) {
            continue;
        }
        const wint_t upper = towupper_l(units[i], locale);
        // Keep the unit when its upper case would not be a single non-surrogate unit.
        if (upper <= 0xFFFF && !is_surrogate(static_cast<char16_t>(upper))) {
            units[i] = static_cast<char16_t>(upper);
        }
    }
}

} // namespace vesk
