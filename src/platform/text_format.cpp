#include "platform/text_format.h"

namespace vesk::detail {

std::string substitute(std::string_view format, const std::string* args, size_t count) {
    std::string out;
    out.reserve(format.size() + 64);
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        const bool directive = c == '%' && i + 1 < format.size() &&
                               (format[i + 1] == 's' || format[i + 1] == 'd') && next < count;
        if (directive) {
            out += args[next++];
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace vesk::detail
