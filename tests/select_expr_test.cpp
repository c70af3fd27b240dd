#include "config/select_expr.h"

#include <gtest/gtest.h>

#include <sstream>

#include "config/config.h"
#include "config/parser.h"
#include "config_test_support.h"

namespace vesk {
namespace {

using testing::expression_of;
using testing::FakeEntry;
using testing::message_of;

Selector selector_of(std::string_view text) {
    return testing::read_from(text, read_selector);
}

// The file entry of a case line "path [size [age]]".
FakeEntry entry_of(const std::string& line) {
    std::istringstream fields(line);
    std::string path;
    uint64_t size = 0;
    int64_t age = 0;
    fields >> path >> size >> age;
    return FakeEntry(path, size, age);
}

bool says(const Selector& selector, const FakeEntry& entry) {
    return selector.selects(entry);
}
bool says(const std::unique_ptr<SelectExpr>& expression, const FakeEntry& entry) {
    return expression->matches(entry);
}

// What the first line of `text`, read with `read`, says of the entries on the further lines.
template <typename Read>
std::string answers_of(std::string_view text, Read read) {
    const auto tested = read(text.substr(0, text.find('\n')));
    return testing::answers(text, [&](auto line) { return says(tested, entry_of(line)); });
}

TEST(SelectExpr, ExpressionsSelectorsAndDurations) {
    testing::check_cases("select_expr_cases.txt",
                         {{"selects", [](auto text) { return answers_of(text, selector_of); }},
                          {"matches", [](auto text) { return answers_of(text, expression_of); }},
                          {"selector", [](auto text) { return selector_of(text).to_text(); }},
                          {"expr", [](auto text) { return expression_of(text)->to_text(); }},
                          {"duration", [](auto text) {
                               Parser parser("");
                               return std::to_string(parse_duration(parser, text));
                           }}});
}

TEST(SelectExpr, OperatorsShortCircuit) {
    const FakeEntry entry("f", 10);
    EXPECT_TRUE(expression_of("larger(1) or larger(2)")->matches(entry));
    EXPECT_EQ(entry.size_calls, 1);
    EXPECT_FALSE(expression_of("larger(100) and larger(2)")->matches(entry));
    EXPECT_EQ(entry.size_calls, 2);
    EXPECT_TRUE(expression_of("not larger(100) and larger(2)")->matches(entry));
    EXPECT_EQ(entry.size_calls, 4);
}

TEST(SelectExpr, DeepExpressionsAreRejectedNotOverflowed) {
    const auto nested = [](int depth) {
        return std::string(depth, '(') + "larger(1)" + std::string(depth, ')');
    };
    EXPECT_NO_THROW(expression_of(nested(max_expression_depth)));
    for (const std::string& text :
         {nested(100000), "larger(1)" + testing::repeat(" or larger(1)", 5000)}) {
        EXPECT_EQ(message_of([&] { expression_of(text); }),
                  "Error on line 1: expressions may nest at most 1000 levels of operators and "
                  "parentheses.");
    }
}

} // namespace
} // namespace vesk
