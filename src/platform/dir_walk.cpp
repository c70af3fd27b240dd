#include "platform/dir_walk.h"

namespace vesk {

std::string WalkEntry::display_path() const {
    std::string path(directory_path_);
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name_;
    return path;
}

namespace {

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it is not one.
size_t utf8_sequence_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

void append_hex_escape(std::string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

} // namespace

std::string escape_for_log(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        const size_t length = utf8_sequence_length(text);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            append_hex_escape(out, byte);
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return out;
}

} // namespace vesk
