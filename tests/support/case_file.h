#pragma once
// Test support: runs the cases of a case file in tests/data against named readers.

#include <gtest/gtest.h>

#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::testing {

// Runs `action` and returns what it returns, or the message it throws.
template <typename Action>
std::string outcome_of(Action action) {
    try {
        return action();
    } catch (const std::exception& error) {
        return error.what();
    }
}

// Runs `action` and returns the message it throws, or "no error".
template <typename Action>
std::string message_of(Action action) {
    return outcome_of([&] {
        action();
        return std::string("no error");
    });
}

// Replaces the escapes \\ \" \n \r \t and \xHH of a case file by the bytes they stand for.
inline std::string unescape(std::string_view text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
        } else if (text.at(++i) == 'x') {
            bytes += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else if (const size_t known = std::string_view("\\\"nrt").find(text[i]); known < 5) {
            bytes += "\\\"\n\r\t"[known];
        } else {
            throw std::invalid_argument("unknown escape in " + std::string(text));
        }
    }
    return bytes;
}

// `text` with every `from` replaced by `to`.
inline std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// For an input whose first line is what is tested and each further line a subject: "yes" or
// "no" for each subject in turn, one a line.
inline std::string answers(std::string_view text, const std::function<bool(std::string)>& test) {
    std::string answers;
    for (size_t start = text.find('\n') + 1, end = start; end != text.npos; start = end + 1) {
        end = text.find('\n', start);
        const bool yes = test(std::string(text.substr(start, end - start)));
        answers += std::string(answers.empty() ? "" : "\n") + (yes ? "yes" : "no");
    }
    return answers;
}

using Reader = std::function<std::string(std::string_view)>;

// Runs the cases of tests/data/<name>. "@reader" names the reader of the cases that follow;
// "< " lines are a case's input and "> " lines its expected outcome (the result of the reader
// or the message it throws), each joined by line breaks; "#" lines are comments.
inline void check_cases(const std::string& name, const std::map<std::string, Reader>& readers) {
    std::ifstream in(std::string(VESK_TEST_DATA) + "/" + name, std::ios::binary);
    struct Case {
        std::string reader, input, expected;
        int line;
        bool answered = false;
    };
    std::vector<Case> cases;
    std::string reader, line;
    for (int number = 1; std::getline(in, line); ++number) {
        reader = line.starts_with('@') ? line.substr(1) : reader;
        if (line.empty() || line[0] == '#' || line[0] == '@') {
            continue;
        }
        const bool input = line[0] == '<';
        ASSERT_TRUE(input || (line[0] == '>' && !cases.empty())) << name << ":" << number;
        const std::string text =
            unescape(std::string_view(line).substr(std::min<size_t>(2, line.size())));
        if (input && (cases.empty() || cases.back().answered)) {
            cases.push_back({reader, text, "", number});
            continue;
        }
        Case& last = cases.back();
        (input ? last.input : last.expected) += (input || last.answered ? "\n" : "") + text;
        last.answered = last.answered || !input;
    }
    std::map<std::string, int> counts;
    for (const Case& c : cases) {
        ASSERT_TRUE(readers.contains(c.reader) && c.answered) << name << ":" << c.line;
        EXPECT_EQ(outcome_of([&] { return readers.at(c.reader)(c.input); }), c.expected)
            << name << ":" << c.line;
        ++counts[c.reader];
    }
    for (const auto& [reader_name, read] : readers) {
        EXPECT_GT(counts[reader_name], 0) << name << " has no cases for " << reader_name;
    }
}

} // namespace vesk::testing
