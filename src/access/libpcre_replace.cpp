#include "access/libpcre.h"

namespace vesk {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Offsets of one match and the texts inserted for its referenced groups.
struct MatchGroups {
    std::vector<int> ovector;
    int result = 0;

    bool is_set(uint32_t group) const {
        return static_cast<int>(group) < result && ovector[2 * group] >= 0;
    }
    std::string_view text(std::string_view subject, uint32_t group) const {
        if (!is_set(group)) {
            return {};
        }
        return subject.substr(ovector[2 * group], ovector[2 * group + 1] - ovector[2 * group]);
    }
};

// Index of the first character after `offset` (one UTF-8 sequence further).
int next_character(std::string_view text, int offset) {
    size_t i = static_cast<size_t>(offset) + 1;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
        ++i;
    }
    return static_cast<int>(i);
}

} // namespace

Regex_replace::Regex_replace(std::shared_ptr<const Regex> regex, std::string_view text, char escape)
    : regex_(std::move(regex)), text_(text) {
    parse(escape);
}

void Regex_replace::parse(char escape) {
    const std::string e(1, escape);
    const uint32_t groups = regex_->group_count();
    std::vector<uint32_t> occurrences(groups, 0);
    const size_t n = text_.size();
    size_t run_start = 0;
    auto close_run = [&](size_t end) {
        if (end > run_start) {
            segments_.push_back(static_cast<uint32_t>(run_start));
            segments_.push_back(static_cast<uint32_t>(end));
            literal_length_ += static_cast<uint32_t>(end - run_start);
        }
    };
    size_t p = 0;
    while (p < n) {
        if (text_[p] != escape) {
            ++p;
            continue;
        }
        if (p + 1 >= n) {
            throw Regex_exception("Error parsing replacement text: Expected additional '" + e +
                                  "' at end.");
        }
        const char next = text_[p + 1];
        if (next == escape) {
            close_run(p + 1);
            p += 2;
            run_start = p;
        } else if (is_digit(next)) {
            close_run(p);
            size_t q = p + 1;
            uint32_t group = 0;
            while (q < n && is_digit(text_[q])) {
                group = group * 10 + static_cast<uint32_t>(text_[q] - '0');
                ++q;
            }
            if (q >= n || text_[q] != escape) {
                throw Regex_exception(
                    "Error parsing replacement text: Capture references must end with a '" + e +
                    "' character.");
            }
            if (group < groups) {
                segments_.push_back(group);
                segments_.push_back(0);
                ++occurrences[group];
            }
            p = q + 1;
            run_start = p;
        } else {
            throw Regex_exception("Named groups is not supported in replacement text yet, use "
                                  "only groups by index.");
        }
    }
    close_run(n);
    for (uint32_t group = 0; group < groups; ++group) {
        if (occurrences[group] > 65535) {
            throw Regex_exception("Error parsing replacement text: A single capture reference "
                                  "may not occur more than 65535 times.");
        }
        if (occurrences[group] > 0) {
            group_refs_.push_back(group << 16 | occurrences[group]);
        }
    }
}

std::string Regex_replace::apply(std::string_view subject, const ReplaceCallback& callback,
                                 int& offset, int options, bool& empty_match) const {
    MatchGroups match;
    match.ovector.assign(regex_->group_count() * 3, -1);
    match.result = regex_->exec(subject, offset, options, match.ovector.data());
    if (match.result < 0) {
        offset = -1;
        return std::string(subject);
    }
    std::vector<std::string> inserted(regex_->group_count());
    size_t length = subject.size() - (match.ovector[1] - match.ovector[0]) + literal_length_;
    for (uint32_t ref : group_refs_) {
        const uint32_t group = ref >> 16;
        const uint32_t count = ref & 0xFFFF;
        inserted[group] = callback(group, match.text(subject, group), match.is_set(group));
        length += count * inserted[group].size();
    }
    std::string result;
    result.reserve(length);
    result.append(subject.substr(0, match.ovector[0]));
    for (size_t i = 0; i + 1 < segments_.size(); i += 2) {
        if (segments_[i + 1] == 0) {
            result += inserted[segments_[i]];
        } else {
            result.append(text_, segments_[i], segments_[i + 1] - segments_[i]);
        }
    }
    result.append(subject.substr(match.ovector[1]));
    offset = match.ovector[1];
    empty_match = match.ovector[0] == match.ovector[1];
    return result;
}

std::string Regex_replace::replace_all(std::string_view subject, const ReplaceCallback& callback,
                                       int offset, int options) const {
    std::string current(subject);
    while (offset != -1) {
        const int old_length = static_cast<int>(current.size());
        bool empty_match = false;
        std::string next = apply(current, callback, offset, options, empty_match);
        if (offset == -1) {
            break;
        }
        const bool match_at_end = offset == old_length;
        // The search goes on right after the inserted text.
        offset = static_cast<int>(next.size()) - (old_length - offset);
        current = std::move(next);
        if (empty_match) {
            // An empty match would be found again at the same place: move one character on.
            if (match_at_end) {
                break;
            }
            offset = next_character(current, offset);
        }
    }
    return current;
}

} // namespace vesk
