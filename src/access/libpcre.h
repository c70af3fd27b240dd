#pragma once
// Regular expressions over PCRE's 8-bit interface, and replacement texts bound to them.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct real_pcre;
struct pcre_extra;

namespace vesk {

// PCRE's own compile option bits.
enum Option : int {
    CASELESS = 0x1,
    DOTALL = 0x4,
    EXTRA = 0x40,
    UTF8 = 0x800,
};

// Exec option that skips PCRE's UTF-8 check of a subject already known to be valid.
inline constexpr int NO_UTF8_CHECK = 0x2000;

class Regex;
class Regex_replace;

class Regex_exception : public std::runtime_error {
public:
    // A compile, study or replacement-text error: "Regex_exception: " + text.
    explicit Regex_exception(const std::string& text);
    // A match error chosen by PCRE's exec result code.
    explicit Regex_exception(int code);

    static std::string message_for(int code);
};

class Regex : public std::enable_shared_from_this<Regex> {
public:
    Regex(std::string_view pattern, int options);
    virtual ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    virtual void set_match_limit_recursion(uint64_t limit);
    virtual bool is_match(std::string_view subject, int offset = 0, int options = 0) const;
    // On a match exactly group_count() slices of `subject` (empty for an unset group); on no
    // match or a partial match an empty vector.
    virtual std::vector<std::string_view> match(std::string_view subject, int offset = 0,
                                                int options = 0) const;
    // A replacement text bound to this Regex. The Regex must be owned by a std::shared_ptr.
    virtual Regex_replace replacer(std::string_view text, char escape) const;

    // Runs pcre_exec into `ovector` (group_count() * 3 ints). Returns the result code for a
    // match (>= 0), no match (-1) or partial match (-12); throws Regex_exception otherwise.
    int exec(std::string_view subject, int offset, int options, int* ovector) const;

    uint32_t group_count() const { return group_count_; }

private:
    real_pcre* code_ = nullptr;
    pcre_extra* extra_ = nullptr;
    bool own_extra_ = false;
    uint32_t group_count_ = 0;
};

// The callback of the replacement forms: (group number, group text, matched) -> inserted text.
using ReplaceCallback = std::function<std::string(uint32_t, std::string_view, bool)>;

class Regex_replace {
public:
    Regex_replace(std::shared_ptr<const Regex> regex, std::string_view text, char escape);
    virtual ~Regex_replace() = default;

    // Replaces every match from `offset` on by the text, its group references by what the
    // callback gives; the search goes on after the inserted text.
    virtual std::string replace_all(std::string_view subject, const ReplaceCallback& callback,
                                    int offset, int options) const;

private:
    // Replaces the first match from `offset`; `offset` becomes the end of the match (-1: none).
    std::string apply(std::string_view subject, const ReplaceCallback& callback, int& offset,
                      int options, bool& empty_match) const;
    void parse(char escape);

    std::shared_ptr<const Regex> regex_;
    std::string text_;
    std::vector<uint32_t> segments_;
    std::vector<uint32_t> group_refs_;
    uint32_t literal_length_ = 0;
};

} // namespace vesk
