#include "platform/exceptions.h"

namespace vesk {

WindowsError::WindowsError(std::string_view message, uint32_t code)
    : std::runtime_error(std::string(message) + system_error_text(code)) {}

} // namespace vesk
