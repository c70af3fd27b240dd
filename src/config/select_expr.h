#pragma once
// Selection expressions over the facts of one file, and the include/exclude lists built from
// them.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "access/libpcre.h"
#include "config/file_entry.h"
#include "config/pathpattern.h"

namespace vesk {

class Parser;

class SelectExpr {
public:
    virtual ~SelectExpr() = default;
    virtual bool matches(const IFileEntry& entry) const = 0;
    virtual std::string to_text() const = 0;
};

class OrExpr : public SelectExpr {
public:
    OrExpr(std::unique_ptr<SelectExpr> left, std::unique_ptr<SelectExpr> right);
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;

    std::unique_ptr<SelectExpr> left;
    std::unique_ptr<SelectExpr> right;
};

class AndExpr : public SelectExpr {
public:
    AndExpr(std::unique_ptr<SelectExpr> left, std::unique_ptr<SelectExpr> right);
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;

    std::unique_ptr<SelectExpr> left;
    std::unique_ptr<SelectExpr> right;
};

class NotExpr : public SelectExpr {
public:
    explicit NotExpr(std::unique_ptr<SelectExpr> operand);
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;

    std::unique_ptr<SelectExpr> operand;
};

// Base of every clause.
class PrimaryExpr : public SelectExpr {};

// A regular expression searched in one fact, byte by byte, ignoring the case of ASCII letters.
class RegexClause : public PrimaryExpr {
public:
    explicit RegexClause(std::string_view pattern);
    std::unique_ptr<Regex> regex;
};

class PathPatternExpr : public RegexClause {
public:
    using RegexClause::RegexClause;
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
};

class NamePatternExpr : public RegexClause {
public:
    using RegexClause::RegexClause;
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
};

class ParentPatternExpr : public RegexClause {
public:
    using RegexClause::RegexClause;
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
};

// A path pattern that must cover one whole fact.
class PatternClause : public PrimaryExpr {
public:
    explicit PatternClause(std::string_view text) : pattern(text) {}
    PathPattern pattern;
};

class PathExpr : public PatternClause {
public:
    using PatternClause::PatternClause;
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
};

class NameExpr : public PatternClause {
public:
    using PatternClause::PatternClause;
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
};

class ParentExpr : public PatternClause {
public:
    using PatternClause::PatternClause;
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
};

// Sizes compare as unsigned 64-bit, so a negative limit is a very large one.
class LargerExpr : public PrimaryExpr {
public:
    explicit LargerExpr(int64_t limit) : limit(limit) {}
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
    int64_t limit;
};

class SmallerExpr : public PrimaryExpr {
public:
    explicit SmallerExpr(int64_t limit) : limit(limit) {}
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
    int64_t limit;
};

class OlderExpr : public PrimaryExpr {
public:
    explicit OlderExpr(int64_t seconds) : seconds(seconds) {}
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
    int64_t seconds;
};

class YoungerExpr : public PrimaryExpr {
public:
    explicit YoungerExpr(int64_t seconds) : seconds(seconds) {}
    bool matches(const IFileEntry& entry) const override;
    std::string to_text() const override;
    int64_t seconds;
};

// One include or exclude item; without an expression it matches every entry.
class SelectorDeterminator {
public:
    SelectorDeterminator() = default;
    SelectorDeterminator(bool exclude, std::unique_ptr<SelectExpr> expression);
    virtual ~SelectorDeterminator() = default;
    SelectorDeterminator(SelectorDeterminator&&) = default;
    SelectorDeterminator& operator=(SelectorDeterminator&&) = default;

    virtual bool matches(const IFileEntry& entry) const;
    virtual std::string to_text() const;

    bool exclude = false;
    std::unique_ptr<SelectExpr> expression;
};

// The include/exclude list of select_dirs and select_files.
class Selector {
public:
    Selector() = default;
    virtual ~Selector() = default;
    Selector(Selector&&) = default;
    Selector& operator=(Selector&&) = default;

    virtual std::string to_text() const;

    // Walks the items in order and stops at the first that does not match; the last matching
    // item before that decides. An empty list selects everything.
    bool selects(const IFileEntry& entry) const;

    std::vector<SelectorDeterminator> items;
};

// One warning line for each item of `selector` that can never change what it selects: deleting
// the item would leave the outcome for every possible entry as it is. Such an item is either of
// the same kind as the item before it (an include at the head counts as following the "selected"
// the walk starts with), or followed by an item without expression, which matches every entry
// and overrides it; and in both cases what the rest of the list can still decide must not depend
// on whether the walk stops at the item. An item that merely cuts the walk short for later items
// is not reported, since deleting it would change the outcome. When two items could each be
// deleted but not both, only the later one is reported, so deleting every reported item at once
// keeps the selection. Each line names `directive` (select_dirs or select_files), the item's
// 1-based position and its rendering, and says why. Expressions are not compared with each
// other, so an item is reported only when the list's shape alone proves it inert.
std::vector<std::string> inert_item_warnings(const Selector& selector, std::string_view directive);

// Readers; each is entered at its keyword and returns with the token after its ")" current.
Selector read_selector(Parser& parser);
SelectorDeterminator read_determinator(Parser& parser);
// Reads an expression (or level) starting at the current token.
std::unique_ptr<SelectExpr> read_expression(Parser& parser);
// Seconds of a duration text such as "1d 12h"; errors go through `parser.fail`.
int64_t parse_duration(const Parser& parser, std::string_view text);

// Reads "(" item, item, ... ")" where every item starts with an identifier; `read_item` is
// entered at that identifier and must return with the token after the item current.
void read_identifier_list(Parser& parser, const std::function<void()>& read_item);

// Renders items as a list: each item framed as ", " + item + "\n", and the whole, when not
// empty, given a leading line feed in place of its first ", ".
std::string render_list(const std::vector<std::string>& items);

// Expressions deeper than this (operators and parentheses) are rejected while reading, so that
// matching, rendering and destruction never recurse without bound.
inline constexpr int max_expression_depth = 1000;

} // namespace vesk
