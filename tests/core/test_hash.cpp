#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "brimel/hash.hpp"

namespace brimel {
namespace {

TEST(ChunkKeyHash, IntegerKeyVectors) {
    EXPECT_EQ(chunk_key_hash(ChunkKey{1}), 0xb4dda6c664509eecull);
    EXPECT_EQ(chunk_key_hash(ChunkKey{0xCDAB}), 0x4e9b4498cd1db4f2ull);
    EXPECT_EQ(chunk_key_hash(ChunkKey{0}), 0u);
}

TEST(ChunkKeyHash, ByteStringVectors) {
    const std::vector<std::uint8_t> zeros(17, 0);
    EXPECT_EQ(chunk_key_hash(std::span<const std::uint8_t>(zeros)), 0x4ca06cd0f6ca5644ull);
    std::vector<std::uint8_t> counting(40);
    for (int t = 0; t < 40; ++t) counting[t] = static_cast<std::uint8_t>(t);
    EXPECT_EQ(chunk_key_hash(std::span<const std::uint8_t>(counting)), 0x5f98d65cab28c1d8ull);
}

TEST(ChunkKeyHash, WordFormIsOneAbsorb) {
    EXPECT_EQ(chunk_key_hash_word(0), 0u);
    EXPECT_EQ(chunk_key_hash_word(7), std::rotl(7 * kFxMultiplier, 26));
}

}  // namespace
}  // namespace brimel
