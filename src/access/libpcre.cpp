#include "access/libpcre.h"

#include <pcre.h>

#include <climits>
#include <cstdlib>

namespace vesk {

namespace {

// PCRE allocates through the process's standard heap.
struct PcreAllocator {
    PcreAllocator() {
        pcre_malloc = std::malloc;
        pcre_free = std::free;
    }
};
const PcreAllocator pcre_allocator;

// Output vector of a match: pairs of offsets plus PCRE's working third.
class Ovector {
public:
    explicit Ovector(uint32_t group_count) : size_(group_count * 3) {
        if (size_ > inline_size) {
            heap_.reset(new int[size_]);
        }
    }
    int* data() { return heap_ ? heap_.get() : inline_; }

private:
    static constexpr uint32_t inline_size = 48;
    uint32_t size_;
    int inline_[inline_size] = {};
    std::unique_ptr<int[]> heap_;
};

const char* match_error_text(int code) {
    switch (code) {
    case -1:
        return "The subject string did not match the pattern.";
    case -2:
        return "Either code or subject was passed as NULL, or ovector was NULL and ovecsize was "
               "not zero.";
    case -3:
        return "An unrecognized bit was set in the options argument";
    case -4:
        return "The magic number was wrong.";
    case -5:
        return "While running the pattern match, an unknown item was encountered in the compiled "
               "pattern. This error could be caused by a bug in PCRE or by overwriting of the "
               "compiled pattern.";
    case -6:
        return "Out of memory.";
    case -8:
        return "The backtracking limit, as specified by the match_limit field in a pcre_extra "
               "structure (or defaulted) was reached. See the description above.";
    case -10:
        return "A string that contains an invalid UTF-8 byte sequence was passed as a subject.";
    case -11:
        return "The UTF-8 byte sequence that was passed as a subject was valid, but the value of "
               "startoffset did not point to the beginning of a UTF-8 character.";
    case -12:
        return "The subject string did not match, but it did match partially. See the pcrepartial "
               "documentation for details of partial matching.";
    case -13:
        return "The PCRE_PARTIAL option was used with a compiled pattern containing items that are "
               "not supported for partial matching. See the pcrepartial documentation for details "
               "of partial matching.";
    case -14:
        return "An unexpected internal error has occurred. This error could be caused by a bug in "
               "PCRE or by overwriting of the compiled pattern.";
    case -15:
        return "This error is given if the value of the ovecsize argument is negative.";
    case -21:
        return "The internal recursion limit, as specified by the match_limit_recursion field in a "
               "pcre_extra structure (or defaulted) was reached. See the description above.";
    case -22:
        return "When a group that can match an empty substring is repeated with an unbounded upper "
               "limit, the subject position at the start of the group must be remembered, so that "
               "a test for an empty string can be made when the end of the group is reached. Some "
               "workspace is required for this; if it runs out, this error is given.";
    default:
        return "Internal error: Unknown error";
    }
}

} // namespace

Regex_exception::Regex_exception(const std::string& text)
    : std::runtime_error("Regex_exception: " + text) {}

Regex_exception::Regex_exception(int code) : std::runtime_error(message_for(code)) {}

std::string Regex_exception::message_for(int code) {
    return std::string("Regex_exception: ") + match_error_text(code);
}

Regex::Regex(std::string_view pattern, int options) {
    // PCRE reads a zero-terminated pattern: an embedded zero byte ends it.
    const std::string terminated(pattern);
    const char* error = nullptr;
    int error_offset = 0;
    code_ = pcre_compile(terminated.c_str(), options | EXTRA, &error, &error_offset, nullptr);
    if (!code_) {
        throw Regex_exception(error ? error : "");
    }
    const char* study_error = nullptr;
    extra_ = pcre_study(code_, 0, &study_error);
    if (study_error) {
        pcre_free(code_);
        throw Regex_exception(study_error);
    }
    if (!extra_) {
        extra_ = static_cast<pcre_extra*>(std::calloc(1, sizeof(pcre_extra)));
        own_extra_ = true;
    }
    int captures = 0;
    pcre_fullinfo(code_, extra_, PCRE_INFO_CAPTURECOUNT, &captures);
    group_count_ = static_cast<uint32_t>(captures) + 1;
}

Regex::~Regex() {
    if (own_extra_) {
        std::free(extra_);
    } else {
        pcre_free_study(extra_);
    }
    pcre_free(code_);
}

void Regex::set_match_limit_recursion(uint64_t limit) {
    extra_->match_limit_recursion = static_cast<unsigned long>(limit);
    extra_->flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
}

int Regex::exec(std::string_view subject, int offset, int options, int* ovector) const {
    static const char empty_subject[] = "";
    if (subject.size() > static_cast<size_t>(INT_MAX)) {
        throw Regex_exception("Subject too long.");
    }
    const char* data = subject.empty() ? empty_subject : subject.data();
    const int result = pcre_exec(code_, extra_, data, static_cast<int>(subject.size()), offset,
                                 options, ovector, static_cast<int>(group_count_ * 3));
    if (result >= 0 || result == PCRE_ERROR_NOMATCH || result == PCRE_ERROR_PARTIAL) {
        return result;
    }
    throw Regex_exception(result);
}

bool Regex::is_match(std::string_view subject, int offset, int options) const {
    Ovector ovector(group_count_);
    return exec(subject, offset, options, ovector.data()) >= 0;
}

std::vector<std::string_view> Regex::match(std::string_view subject, int offset,
                                           int options) const {
    Ovector ovector(group_count_);
    const int result = exec(subject, offset, options, ovector.data());
    if (result < 0) {
        return {};
    }
    const int* v = ovector.data();
    std::vector<std::string_view> groups(group_count_);
    for (uint32_t i = 0; i < group_count_ && static_cast<int>(i) < result; ++i) {
        if (v[2 * i] >= 0) {
            groups[i] = subject.substr(v[2 * i], v[2 * i + 1] - v[2 * i]);
        }
    }
    return groups;
}

Regex_replace Regex::replacer(std::string_view text, char escape) const {
    return Regex_replace(shared_from_this(), text, escape);
}

} // namespace vesk
