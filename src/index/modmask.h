#pragma once
// Stored SQL texts are kept masked: every byte is XOR-ed with byte (i mod 64) of a fixed key
// table. The routine is its own inverse, so the build masks with it and the program unmasks.

#include <array>
#include <string>
#include <string_view>

namespace vesk {

// The 64-byte key table.
extern const std::array<unsigned char, 64> mask_key;

// A new copy of `text` with byte i XOR-ed with mask_key[i % 64].
std::string unmask(std::string_view text);

} // namespace vesk
