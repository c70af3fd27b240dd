#include "config/parser.h"

#include <stdexcept>
#include <string>

#include "platform/text_format.h"

namespace vesk {

namespace {

// Blanks, then at most one token; groups 2 to 9 are the token kinds 0 to 7. Whatever follows
// when no token matches is the text of an "invalid" token (the rest of the input less one final
// line feed), taken directly instead of through a trailing lazy group, so that tokenizing stays
// linear in the size of the job text. Possessive repeats keep PCRE's recursion depth bounded
// by the number of runs rather than the number of characters. Of a string the pattern takes
// only the opening quote: string_length finds its end, because a repeated group over its
// doubled quotes would cost PCRE one recursion per doubled quote.
constexpr std::string_view token_pattern =
    "^((?:[ \\t]++|\xEF\xBB\xBF)*+"
    "(?:(\\()|(\\))|(\\,)|([a-zA-Z_]+)|(-?[0-9]+[kmgKMG]?)|(\\\")|"
    "((?:\\#|\\/\\/)[^\\r\\n]*)|(\\r?\\n))?)";

constexpr int first_kind_group = 2;
constexpr int kind_groups = 8;
constexpr uint64_t integer_limit = 922337203685477580ULL;

// Bounds PCRE's recursion so that a hostile job text yields an error instead of a stack
// overflow.
constexpr uint64_t recursion_limit = 2000;

constexpr const char* kind_names[] = {
    "left-paranthesis", "right-paranthesis", "comma",   "identifier", "integer",
    "string",           "comment",           "newline", "invalid",    "end-of-file",
};

// The length of the string token at the start of `text` (which begins with its opening quote),
// or 0 when there is none. Inside a string a quote occurs only doubled; the first single quote
// closes it. A text that ends before a single quote still holds a string when it has a doubled
// quote: the string then closes with the first quote of the last doubled quote, the longest
// string the text begins with.
size_t string_length(std::string_view text) {
    size_t last_doubled = 0;
    for (size_t from = 1;;) {
        const size_t quote = text.find('"', from);
        if (quote == std::string_view::npos) {
            return last_doubled == 0 ? 0 : last_doubled + 1;
        }
        if (quote + 1 == text.size() || text[quote + 1] != '"') {
            return quote + 1;
        }
        last_doubled = quote;
        from = quote + 2;
    }
}

} // namespace

const char* Parser::kind_name(int kind) {
    if (kind < 0 || kind > end_of_file) {
        return "unknown";
    }
    return kind_names[kind];
}

Parser::Parser(std::string_view text)
    : regex_(std::make_shared<Regex>(token_pattern, UTF8 | DOTALL)), text_(text) {
    regex_->set_match_limit_recursion(recursion_limit);
}

void Parser::scan_token() {
    const std::string_view rest = text_.substr(cursor_);
    // The whole text is checked for valid UTF-8 once, on the first token.
    const int options = utf8_checked_ ? NO_UTF8_CHECK : 0;
    const std::vector<std::string_view> groups = regex_->match(rest, 0, options);
    utf8_checked_ = true;
    std::string_view consumed = groups.empty() ? std::string_view() : groups[1];
    token_kind_ = end_of_file;
    token_text_ = {};
    for (int k = 0; k < kind_groups; ++k) {
        if (!groups.empty() && !groups[first_kind_group + k].empty()) {
            token_kind_ = k;
            token_text_ = groups[first_kind_group + k];
            break;
        }
    }
    if (token_kind_ == string) {
        // The pattern took the opening quote; without a string the quote starts an invalid token.
        const size_t start = consumed.size() - 1;
        const size_t length = string_length(rest.substr(start));
        consumed = rest.substr(0, length == 0 ? start : start + length);
        token_text_ = rest.substr(start, length);
        token_kind_ = length == 0 ? end_of_file : string;
    }
    if (token_kind_ == end_of_file) {
        std::string_view remainder = rest.substr(consumed.size());
        if (!remainder.empty() && remainder.back() == '\n') {
            remainder.remove_suffix(1);
        }
        if (!remainder.empty()) {
            token_kind_ = invalid;
            token_text_ = remainder;
        }
    }
    cursor_ += static_cast<uint32_t>(consumed.size());
}

void Parser::next_token() {
    for (;;) {
        scan_token();
        if (token_kind_ == newline) {
            ++line_;
        } else if (token_kind_ != comment) {
            return;
        }
    }
}

void Parser::expect(int kind) {
    if (token_kind_ != kind) {
        throw std::runtime_error(
            format("Error on line %s: Unexpected token <%s> '%s'. expected <%s>.", line_,
                   kind_name(token_kind_), token_text_, kind_name(kind)));
    }
    next_token();
}

void Parser::expect_one_of(std::initializer_list<int> kinds) {
    std::string list;
    for (int kind : kinds) {
        if (kind == token_kind_) {
            return;
        }
        list += format("<%s>, ", kind_name(kind));
    }
    list.resize(list.size() >= 2 ? list.size() - 2 : 0);
    throw std::runtime_error(
        format("Error on line %s: Unexpected token <%s> '%s'. expected one of <%s>.", line_,
               kind_name(token_kind_), token_text_, list));
}

void Parser::fail(std::string_view message) const {
    throw std::runtime_error(format("Error on line %s: %s.", line_, message));
}

std::string Parser::string_value() const {
    std::string value;
    if (token_text_.size() < 2) {
        return value;
    }
    const std::string_view inner = token_text_.substr(1, token_text_.size() - 2);
    value.reserve(inner.size());
    for (size_t i = 0; i < inner.size(); ++i) {
        value += inner[i];
        if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') {
            ++i;
        }
    }
    return value;
}

int64_t Parser::integer_value() const {
    std::string_view digits = token_text_;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) {
        digits.remove_prefix(1);
    }
    uint64_t value = 0;
    for (char c : digits) {
        switch (c) {
        case 'G':
        case 'g':
            value <<= 30;
            break;
        case 'M':
        case 'm':
            value <<= 20;
            break;
        case 'K':
        case 'k':
            value <<= 10;
            break;
        default:
            if (value >= integer_limit) {
                fail("Error while parsing integer. Numbers gets too big/small.");
            }
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
    }
    // Two's-complement wrap for the negation and for shifted values past the signed range.
    return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

std::string Parser::read_text_argument() {
    expect(left_paranthesis);
    expect_one_of({string});
    std::string value = string_value();
    next_token();
    expect(right_paranthesis);
    return value;
}

int64_t Parser::read_integer_argument() {
    expect(left_paranthesis);
    expect_one_of({integer});
    const int64_t value = integer_value();
    next_token();
    expect(right_paranthesis);
    return value;
}

} // namespace vesk
