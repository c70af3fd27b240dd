#include "index/modmask.h"
#include "masked_sql.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace vesk {
namespace {

std::string read_sql(const std::string& name) {
    std::ifstream in(std::string(VESK_SOURCE_DIR) + "/src/index/sql/" + name + ".sql",
                     std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Modmask, WrapsTheKeyAfter64BytesAndIsItsOwnInverse) {
    EXPECT_EQ(unmask(""), "");
    const std::string zeros(65, '\0');
    const std::string masked = unmask(zeros);
    ASSERT_EQ(masked.size(), 65u);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(static_cast<unsigned char>(masked[i]), mask_key[i]) << i;
    }
    EXPECT_EQ(static_cast<unsigned char>(masked[64]), mask_key[0]);

    const std::string text = "The quick brown fox jumps over the lazy dog, then over 64 more dogs.";
    EXPECT_NE(unmask(text), text);
    EXPECT_EQ(unmask(unmask(text)), text);
}

TEST(Modmask, GeneratedAccessorsGiveBackTheRepositoryTexts) {
    EXPECT_EQ(masked_sql::schema(), read_sql("schema"));
    EXPECT_EQ(masked_sql::object(), read_sql("object"));
    EXPECT_EQ(masked_sql::expire(), read_sql("expire"));
    EXPECT_FALSE(masked_sql::listing().empty());
}

} // namespace
} // namespace vesk
