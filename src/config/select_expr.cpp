#include "config/select_expr.h"

#include <algorithm>

#include "config/parser.h"
#include "platform/text_format.h"

namespace vesk {

// ---- Boolean operators ----

OrExpr::OrExpr(std::unique_ptr<SelectExpr> left, std::unique_ptr<SelectExpr> right)
    : left(std::move(left)), right(std::move(right)) {}

bool OrExpr::matches(const IFileEntry& entry) const {
    return left->matches(entry) || right->matches(entry);
}

std::string OrExpr::to_text() const {
    return format("( %s or %s )", left->to_text(), right->to_text());
}

AndExpr::AndExpr(std::unique_ptr<SelectExpr> left, std::unique_ptr<SelectExpr> right)
    : left(std::move(left)), right(std::move(right)) {}

bool AndExpr::matches(const IFileEntry& entry) const {
    return left->matches(entry) && right->matches(entry);
}

std::string AndExpr::to_text() const {
    return format("( %s and %s )", left->to_text(), right->to_text());
}

NotExpr::NotExpr(std::unique_ptr<SelectExpr> operand) : operand(std::move(operand)) {}

bool NotExpr::matches(const IFileEntry& entry) const {
    return !operand->matches(entry);
}

std::string NotExpr::to_text() const {
    return format("not %s", operand->to_text());
}

// ---- Clauses ----

// Without UTF8 the subject is matched as raw bytes, so names that are not valid UTF-8 are fine.
RegexClause::RegexClause(std::string_view pattern)
    : regex(std::make_unique<Regex>(pattern, CASELESS)) {}

bool PathPatternExpr::matches(const IFileEntry& entry) const {
    return regex->is_match(entry.path());
}
std::string PathPatternExpr::to_text() const {
    return "path_re(<regex>)";
}

bool NamePatternExpr::matches(const IFileEntry& entry) const {
    return regex->is_match(entry.name());
}
std::string NamePatternExpr::to_text() const {
    return "name_re(<regex>)";
}

bool ParentPatternExpr::matches(const IFileEntry& entry) const {
    return regex->is_match(entry.parent());
}
std::string ParentPatternExpr::to_text() const {
    return "parent_re(<regex>)";
}

bool PathExpr::matches(const IFileEntry& entry) const {
    return pattern.matches(entry.path());
}
std::string PathExpr::to_text() const {
    return "path(<pattern>)";
}

bool NameExpr::matches(const IFileEntry& entry) const {
    return pattern.matches(entry.name());
}
std::string NameExpr::to_text() const {
    return "name(<pattern>)";
}

bool ParentExpr::matches(const IFileEntry& entry) const {
    return pattern.matches(entry.parent());
}
std::string ParentExpr::to_text() const {
    return "parent(<pattern>)";
}

bool LargerExpr::matches(const IFileEntry& entry) const {
    return entry.size() > static_cast<uint64_t>(limit);
}
std::string LargerExpr::to_text() const {
    return format("larger(%s)", limit);
}

bool SmallerExpr::matches(const IFileEntry& entry) const {
    return entry.size() < static_cast<uint64_t>(limit);
}
std::string SmallerExpr::to_text() const {
    return format("smaller(%s)", limit);
}

bool OlderExpr::matches(const IFileEntry& entry) const {
    return entry.age() > seconds;
}
std::string OlderExpr::to_text() const {
    return format("older(%s)", seconds);
}

bool YoungerExpr::matches(const IFileEntry& entry) const {
    return entry.age() < seconds;
}
std::string YoungerExpr::to_text() const {
    return format("younger(%s)", seconds);
}

// ---- Determinators and selectors ----

SelectorDeterminator::SelectorDeterminator(bool exclude, std::unique_ptr<SelectExpr> expression)
    : exclude(exclude), expression(std::move(expression)) {}

bool SelectorDeterminator::matches(const IFileEntry& entry) const {
    return !expression || expression->matches(entry);
}

std::string SelectorDeterminator::to_text() const {
    return format(exclude ? "exclude(%s)" : "include(%s)",
                  expression ? expression->to_text() : std::string());
}

std::string Selector::to_text() const {
    std::vector<std::string> texts;
    for (const auto& item : items) {
        texts.push_back(item.to_text());
    }
    return render_list(texts);
}

bool Selector::selects(const IFileEntry& entry) const {
    bool excluded = false;
    for (const auto& item : items) {
        if (!item.matches(entry)) {
            break;
        }
        excluded = item.exclude;
    }
    return !excluded;
}

namespace {

// What the items from some position on can still decide for an entry that reaches that position.
struct ListRest {
    // The outcomes those items can set: bit 1 selected, bit 2 rejected.
    unsigned set = 0;
    // Whether the outcome on arrival can survive: there is no item left, or the first may not
    // match and so end the walk.
    bool keeps_arrival = true;
    // Position of the first of those items.
    size_t first = 0;
};

unsigned outcome_bit(bool exclude) {
    return exclude ? 2u : 1u;
}

// The outcomes possible from `rest` on for an entry that arrives with `excluded`.
unsigned outcomes(const ListRest& rest, bool excluded) {
    return (rest.keeps_arrival ? outcome_bit(excluded) : 0u) | rest.set;
}

ListRest prepend(const ListRest& rest, const std::vector<SelectorDeterminator>& items,
                 size_t index) {
    return {outcomes(rest, items[index].exclude), items[index].expression != nullptr, index};
}

// Whether the item at `index`, followed by `rest`, can be deleted without changing any outcome.
// An entry reaching it arrives with the outcome of the item before it. If the item matches, the
// walk goes on with the item's own outcome instead, which makes no difference when the two are
// equal or when the next item matches every entry. If it does not match (it has an expression),
// the walk ends with the arrival outcome, which must then be the only one `rest` can give.
bool inert(const std::vector<SelectorDeterminator>& items, size_t index, const ListRest& rest) {
    const SelectorDeterminator& item = items[index];
    const bool arrival = index > 0 && items[index - 1].exclude;
    return (item.exclude == arrival || !rest.keeps_arrival) &&
           (!item.expression || outcomes(rest, arrival) == outcome_bit(arrival));
}

std::string inert_item_reason(const std::vector<SelectorDeterminator>& items, size_t index,
                              const ListRest& kept) {
    const SelectorDeterminator& item = items[index];
    if (index == 0 && !item.exclude) {
        return "it stands first, and a list selects every entry that it does not exclude.";
    }
    if (index > 0 && item.exclude == items[index - 1].exclude) {
        const char* const kind = item.exclude ? "exclude" : "include";
        return format("it follows another %s, and the list stops at the first item that does "
                      "not match. %s",
                      kind,
                      item.expression && items[index - 1].expression ? "Join the two with or."
                                                                     : "Remove it.");
    }
    return format("item %s '%s' after it matches every entry and decides in its place.",
                  kept.first + 1, items[kept.first].to_text());
}

} // namespace

std::vector<std::string> inert_item_warnings(const Selector& selector, std::string_view directive) {
    const std::vector<SelectorDeterminator>& items = selector.items;
    // Walking backwards: `all` describes every item after the current one, `kept` those not
    // reported. An item is reported only when it is inert both in the list as written and once
    // the later reported items are gone.
    ListRest all;
    ListRest kept;
    std::vector<std::string> warnings;
    for (size_t index = items.size(); index-- > 0;) {
        if (inert(items, index, all) && inert(items, index, kept)) {
            warnings.push_back(format("Warning: %s item %s '%s' can never change what is "
                                      "selected: %s",
                                      directive, index + 1, items[index].to_text(),
                                      inert_item_reason(items, index, kept)));
        } else {
            kept = prepend(kept, items, index);
        }
        all = prepend(all, items, index);
    }
    std::reverse(warnings.begin(), warnings.end());
    return warnings;
}

std::string render_list(const std::vector<std::string>& items) {
    std::string framed;
    for (const auto& item : items) {
        framed += ", " + item + "\n";
    }
    return framed.empty() ? framed : "\n" + framed.substr(2);
}

// ---- Readers ----

void read_identifier_list(Parser& parser, const std::function<void()>& read_item) {
    parser.expect(Parser::left_paranthesis);
    while (parser.token_kind() != Parser::right_paranthesis) {
        parser.expect_one_of({Parser::identifier});
        read_item();
        parser.expect_one_of({Parser::comma, Parser::right_paranthesis});
        if (parser.token_kind() == Parser::comma) {
            parser.next_token();
        }
    }
    parser.next_token();
}

Selector read_selector(Parser& parser) {
    Selector selector;
    parser.next_token();
    read_identifier_list(parser, [&] { selector.items.push_back(read_determinator(parser)); });
    return selector;
}

SelectorDeterminator read_determinator(Parser& parser) {
    SelectorDeterminator item;
    const std::string_view text = parser.token_text();
    if (text == "exclude") {
        item.exclude = true;
    } else if (text != "include") {
        parser.fail("selectors must be wrapped in either 'include' or 'exclude' determinators. '" +
                    std::string(text) + "' is not a recognized determinator");
    }
    parser.next_token();
    parser.expect(Parser::left_paranthesis);
    if (parser.token_kind() == Parser::right_paranthesis) {
        parser.next_token();
        return item;
    }
    item.expression = read_expression(parser);
    parser.expect(Parser::right_paranthesis);
    return item;
}

namespace {

// An expression read so far, with the height of its tree.
struct Parsed {
    std::unique_ptr<SelectExpr> expr;
    int depth = 1;
};

Parsed read_or(Parser& parser, int nesting);

void check_depth(const Parser& parser, int depth) {
    if (depth > max_expression_depth) {
        parser.fail(format("expressions may nest at most %s levels of operators and parentheses",
                           max_expression_depth));
    }
}

template <typename Clause>
Parsed text_clause(Parser& parser) {
    return {std::make_unique<Clause>(parser.read_text_argument())};
}

Parsed read_clause(Parser& parser, std::string_view keyword) {
    if (keyword == "path_re") {
        return text_clause<PathPatternExpr>(parser);
    }
    if (keyword == "name_re") {
        return text_clause<NamePatternExpr>(parser);
    }
    if (keyword == "parent_re") {
        return text_clause<ParentPatternExpr>(parser);
    }
    if (keyword == "path") {
        return text_clause<PathExpr>(parser);
    }
    if (keyword == "name") {
        return text_clause<NameExpr>(parser);
    }
    if (keyword == "parent") {
        return text_clause<ParentExpr>(parser);
    }
    if (keyword == "larger") {
        return {std::make_unique<LargerExpr>(parser.read_integer_argument())};
    }
    if (keyword == "smaller") {
        return {std::make_unique<SmallerExpr>(parser.read_integer_argument())};
    }
    if (keyword == "older") {
        return {std::make_unique<OlderExpr>(parse_duration(parser, parser.read_text_argument()))};
    }
    // keyword == "younger", checked by the caller
    return {std::make_unique<YoungerExpr>(parse_duration(parser, parser.read_text_argument()))};
}

bool is_clause_keyword(std::string_view text) {
    static constexpr std::string_view keywords[] = {"path_re", "name_re", "parent_re", "path",
                                                    "name",    "parent",  "larger",    "smaller",
                                                    "older",   "younger"};
    return std::find(std::begin(keywords), std::end(keywords), text) != std::end(keywords);
}

Parsed read_primary(Parser& parser, int nesting) {
    const std::string keyword(parser.token_text());
    if (keyword == "(") {
        check_depth(parser, nesting + 1);
        parser.next_token();
        Parsed inner = read_or(parser, nesting + 1);
        parser.expect(Parser::right_paranthesis);
        return inner;
    }
    if (!is_clause_keyword(keyword)) {
        parser.fail("the clause must be one of 'path_re', 'name_re', 'parent_re', 'larger', "
                    "'smaller', 'older', 'younger'. '" +
                    keyword + "' is not a recognized clause");
    }
    parser.next_token();
    return read_clause(parser, keyword);
}

Parsed read_not(Parser& parser, int nesting) {
    if (parser.token_text() != "not") {
        return read_primary(parser, nesting);
    }
    parser.next_token();
    Parsed operand = read_primary(parser, nesting);
    check_depth(parser, operand.depth + 1);
    return {std::make_unique<NotExpr>(std::move(operand.expr)), operand.depth + 1};
}

template <typename Operator>
Parsed combine(const Parser& parser, Parsed left, Parsed right) {
    const int depth = std::max(left.depth, right.depth) + 1;
    check_depth(parser, depth);
    return {std::make_unique<Operator>(std::move(left.expr), std::move(right.expr)), depth};
}

Parsed read_and(Parser& parser, int nesting) {
    Parsed result = read_not(parser, nesting);
    while (parser.token_text() == "and") {
        parser.next_token();
        result = combine<AndExpr>(parser, std::move(result), read_not(parser, nesting));
    }
    return result;
}

Parsed read_or(Parser& parser, int nesting) {
    Parsed result = read_and(parser, nesting);
    while (parser.token_text() == "or") {
        parser.next_token();
        result = combine<OrExpr>(parser, std::move(result), read_and(parser, nesting));
    }
    return result;
}

} // namespace

std::unique_ptr<SelectExpr> read_expression(Parser& parser) {
    return read_or(parser, 0).expr;
}

// ---- Durations ----

namespace {

bool is_blank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

size_t skip_blanks(std::string_view text, size_t pos) {
    while (pos < text.size() && is_blank(text[pos])) {
        ++pos;
    }
    return pos;
}

[[noreturn]] void fail_too_big(const Parser& parser, std::string_view text, size_t pos) {
    parser.fail(format("Error while parsing time duration '%s'. Numbers gets too big/small at "
                       "position %s.",
                       text, pos));
}

// ((days * 24 + hours) * 60 + minutes) * 60 + seconds; false when it does not fit.
bool combine_units(const int64_t (&values)[4], int64_t& result) {
    static constexpr int64_t factors[] = {24, 60, 60};
    int64_t total = values[0];
    for (int i = 0; i < 3; ++i) {
        if (__builtin_mul_overflow(total, factors[i], &total) ||
            __builtin_add_overflow(total, values[i + 1], &total)) {
            return false;
        }
    }
    result = total;
    return true;
}

} // namespace

int64_t parse_duration(const Parser& parser, std::string_view text) {
    static constexpr std::string_view units = "dhms";
    int64_t values[4] = {0, 0, 0, 0};
    size_t pos = skip_blanks(text, 0);
    while (pos < text.size()) {
        const bool negative = text[pos] == '-';
        pos += negative ? 1 : 0;
        uint64_t value = 0;
        for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
            if (value >= 922337203685477580ULL) {
                fail_too_big(parser, text, pos);
            }
            value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
        }
        pos = skip_blanks(text, pos);
        const size_t unit = pos < text.size() ? units.find(text[pos]) : std::string_view::npos;
        if (unit == std::string_view::npos) {
            const std::string_view shown = pos < text.size() ? text.substr(pos, 1) : "";
            parser.fail(format("Error while parsing time duration '%s'. Illegal character '%s' "
                               "at position %s.",
                               text, shown, pos));
        }
        const auto signed_value = static_cast<int64_t>(value);
        values[unit] = negative ? -signed_value : signed_value;
        pos = skip_blanks(text, pos + 1);
    }
    int64_t seconds = 0;
    if (!combine_units(values, seconds)) {
        fail_too_big(parser, text, text.size());
    }
    return seconds;
}

} // namespace vesk
