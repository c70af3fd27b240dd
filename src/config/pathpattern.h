#pragma once
// Glob-like path patterns: ? is one character, * any run within one path component, ** any run
// across components, / and \ are separators. Matching is case-insensitive.

#include <memory>
#include <string>
#include <string_view>

#include "access/libpcre.h"

namespace vesk {

class PathPattern {
public:
    // Translates and compiles the pattern; throws Regex_exception when the translation does not
    // compile (only possible for a pattern holding a zero byte).
    explicit PathPattern(std::string_view pattern);

    // True when the whole subject, upper-cased, matches. Never throws on a subject that is not
    // valid UTF-8: each invalid byte counts as one unknown character.
    bool matches(std::string_view subject) const;

    const Regex& regex() const { return *regex_; }

    // The anchored regular expression text for a pattern.
    static std::string translate(std::string_view pattern);

private:
    std::shared_ptr<const Regex> regex_;
};

} // namespace vesk
