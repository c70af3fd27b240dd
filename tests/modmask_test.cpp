#include "index/modmask.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

// The program holds its SQL texts only masked; the texts themselves are checked by every index
// test, which would fail on a wrongly unmasked one.
TEST(Modmask, MasksAndIsItsOwnInverse) {
    EXPECT_EQ(unmask(""), "");
    const std::string text = "The quick brown fox jumps over the lazy dog, then over 64 more dogs.";
    const std::string masked = unmask(text);
    ASSERT_EQ(masked.size(), text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        EXPECT_NE(masked[i], text[i]) << i;
    }
    EXPECT_EQ(unmask(masked), text);
}

} // namespace
} // namespace vesk
