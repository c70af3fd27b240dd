#include "platform/dir_walk.h"

#include "platform/unicode.h"

namespace vesk {

std::string WalkEntry::display_path() const {
    std::string path(directory_path_);
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name_;
    return path;
}

namespace {

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
