#include "config/pathpattern.h"

#include "platform/unicode.h"

namespace vesk {

namespace {

// One capture group per kind of glob token, tried in this order at each position.
constexpr std::string_view token_pattern =
    R"((\?))"                          // 1: one character
    R"(|((?:\\|\/)\*\*+(?=\\|\/|$)))"  // 2: separator and stars before a separator/end
    R"(|((?<=^|\\|\/)\*\*+(?:\\|\/)))" // 3: leading stars and a separator
    R"(|(\*\*+))"                      // 4: stars anywhere else
    R"(|(\*))"                         // 5: one star
    R"(|(\\|\/))"                      // 6: a separator
    R"(|([\x00-\x29\x2B-\x2F\x3A-\x40\x5B-\x60\x7B-\x7F]))"; // 7: ASCII punctuation

// Built on first use and kept for the rest of the process; used only while reading a job.
class Translator {
public:
    Translator()
        : regex_(std::make_shared<Regex>(token_pattern, UTF8 | DOTALL)),
          replace_(regex_->replacer("$1$$2$$3$$4$$5$$6$$7$", '$')) {}

    std::string translate(std::string_view folded) const {
        return replace_.replace_all(folded, replacement, 0, 0);
    }

private:
    static std::string replacement(uint32_t group, std::string_view text, bool matched) {
        if (!matched) {
            return {};
        }
        switch (group) {
        case 1:
            return "[^/]";
        case 2:
            return R"((\/.*)?)";
        case 3:
            return R"((.*\/)?)";
        case 4:
            return ".*";
        case 5:
            return "[^/]*";
        case 6:
            return R"(\/)";
        default:
            return "\\" + std::string(text);
        }
    }

    std::shared_ptr<Regex> regex_;
    Regex_replace replace_;
};

const Translator& translator() {
    static const Translator instance;
    return instance;
}

} // namespace

std::string PathPattern::translate(std::string_view pattern) {
    std::string folded = fold_case(pattern);
    if (folded == "*") {
        folded = "?*"; // a lone star needs at least one character
    }
    return "^" + translator().translate(folded) + "$";
}

PathPattern::PathPattern(std::string_view pattern)
    : regex_(std::make_shared<Regex>(translate(pattern), UTF8 | DOTALL)) {}

bool PathPattern::matches(std::string_view subject) const {
    FoldBuffer buffer;
    // Folding always yields valid UTF-8, so PCRE's own check can be skipped.
    return regex_->is_match(fold_case(subject, buffer), 0, NO_UTF8_CHECK);
}

} // namespace vesk
