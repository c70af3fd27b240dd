#pragma once
#include <functional>
#include <string_view>

namespace vesk {

// A callback that takes one line of text (a run-log or console line, without line end).
using LogCallback = std::function<void(std::string_view)>;

} // namespace vesk
