// Key readers and grouping: the keys every join groups rows by.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/pairs.hpp"
#include "brute_force.hpp"
#include "keys/bit_chunk_reader.hpp"
#include "keys/code_words.hpp"
#include "keys/part_keys.hpp"
#include "keys/position_key_reader.hpp"
#include "seed.hpp"
#include "tables/distinct_codes.hpp"
#include "tables/key_groups.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

// The range reader gives the defined key for every range of up to 64 bits,
// aligned or not, one byte or many.
TEST(BitChunkReader, SameKeysAsExtractBits) {
    const auto rows = testing::random_codes(3, 20, 5);
    const std::uint64_t row_bits = 8 * 20;
    for (std::uint64_t lo = 0; lo <= row_bits; ++lo)
        for (std::uint64_t hi = lo; hi <= std::min(row_bits, lo + 64); ++hi) {
            const detail::BitChunkReader reader({lo, hi});
            for (std::uint64_t r = 0; r < 3; ++r) {
                const std::uint8_t* row = rows.data() + 20 * r;
                ASSERT_EQ(reference::ChunkKey{reader(row)}, reference::extract_bits(row, lo, hi))
                    << "[" << lo << ", " << hi << ")";
            }
        }
}

// The table reader gives the defined key for lists of 0 to 64 positions, in
// any order, with repeats.
TEST(PositionKeyReader, SameKeysAsExtractBitsAt) {
    const std::uint64_t d_bytes = 24;
    const auto rows = testing::random_codes(8, d_bytes, 3);
    std::mt19937_64 rng(5);
    for (std::size_t length = 0; length <= 64; ++length) {
        std::vector<std::uint64_t> positions(length);
        for (auto& p : positions) p = rng() % (8 * d_bytes);
        const detail::PositionKeyReader reader(positions);
        for (std::uint64_t r = 0; r < 8; ++r) {
            const std::uint8_t* row = rows.data() + r * d_bytes;
            ASSERT_EQ(reference::ChunkKey{reader(row)}, reference::extract_bits_at(row, positions)) << length;
        }
    }
}

// Probing relies on this: on an exact part, two rows' keys differ in exactly
// as many bits as the rows do on the part. On a hashed part equal parts give
// equal keys. Rows of 13 bytes also check the zero-filled last word.
TEST(PartKeys, KeyBitsAreThePartsBits) {
    const std::uint64_t d_bytes = 13;
    const auto rows = testing::random_codes(64, d_bytes, 9);
    // Position lists: across words; 8 and 9 runs of one word (read as runs,
    // and bit by bit).
    std::vector<Part> parts{{.positions = {1, 9, 33, 64, 65, 100, 103}},
                            {.positions = {0, 2, 4, 6, 8, 10, 12, 14}},
                            {.positions = {0, 2, 4, 6, 8, 10, 12, 14, 16}}};
    for (const auto& [lo, hi] :
         std::vector<BitRange>{{0, 1}, {3, 17}, {8, 40}, {40, 104}, {0, 32}, {5, 37}, {0, 104}})
        parts.push_back({.lo = lo, .hi = hi});
    for (const Part& part : parts) {
        const detail::PartKeys keys(part, d_bytes);
        EXPECT_EQ(keys.exact(), part.width() <= kMaxExactPartBits);
        EXPECT_EQ(detail::PartKeys::reads_in_one_word(part), keys.in_one_word());
        for (std::size_t x = 0; x < 64; ++x)
            for (std::size_t y = 0; y < 64; ++y) {
                const std::uint8_t *rx = rows.data() + x * d_bytes, *ry = rows.data() + y * d_bytes;
                std::uint32_t expected = 0;
                for (std::uint64_t p = 0; p < 8 * d_bytes; ++p) {
                    const auto& listed = part.positions;
                    const bool in_part = listed.empty()
                                             ? p >= part.lo && p < part.hi
                                             : std::find(listed.begin(), listed.end(), p) != listed.end();
                    expected += in_part && ((rx[p / 8] ^ ry[p / 8]) >> (7 - p % 8) & 1u);
                }
                ASSERT_EQ(keys.part_distance(rx, ry), expected);
                if (keys.exact())
                    ASSERT_EQ(std::popcount(keys.key(rx) ^ keys.key(ry)), static_cast<int>(expected));
                if (expected == 0) ASSERT_EQ(keys.key(rx), keys.key(ry));
            }
    }
}

// Grouping by radix sort equals grouping by an ordered map, for key widths
// of one pass and several, skewed, uniform and one key in every row; find()
// agrees with both lookup kinds. The sort that drops rows alone with their
// key keeps exactly the others (wide keys share the bits of its bucket
// bitmaps, not keys). A grouping built on the memory of the one before
// (larger or smaller, with lookups or not) is the same as a fresh one.
TEST(KeyGroups, SameGroupsAsAnOrderedMap) {
    std::optional<detail::KeyGroups> spare;
    for (const unsigned bits : {1u, 5u, 11u, 16u, 17u, 20u, 23u, 32u}) {
        for (const std::size_t n : {0u, 1u, 7u, 300u, 5000u, 70000u}) {
            std::mt19937_64 rng(bits * 1000 + n);
            const std::uint64_t mask = (1ull << bits) - 1;
            std::vector<std::uint64_t> keys(n);
            for (auto& key : keys) key = (n == 300 ? 0x5a5a5a5a : rng() % 3 == 0 ? rng() % 5 : rng()) & mask;
            std::map<std::uint64_t, std::vector<std::uint32_t>> expected;
            for (std::size_t r = 0; r < n; ++r) expected[keys[r]].push_back(static_cast<std::uint32_t>(r));
            detail::SortedRows all;
            detail::sort_rows_by_key(keys, bits, all);
            // The keys, as 64-bit codes laid out with the groups.
            const detail::CodeSource codes{reinterpret_cast<const std::uint8_t*>(keys.data()), 8, 1};
            for (const bool lookups : {true, false}) {
                const detail::KeyGroups fresh(keys, bits, lookups);
                detail::KeyGroups reused(all, bits, lookups, &codes, spare ? &*spare : nullptr);
                for (const detail::KeyGroups* groups : {&fresh, &std::as_const(reused)}) {
                    ASSERT_EQ(groups->groups(), expected.size());
                    std::size_t g = 0;
                    for (const auto& [key, rows] : expected) {
                        ASSERT_EQ(groups->key(g), key);
                        ASSERT_EQ(
                            std::vector<std::uint32_t>(groups->group(g).begin(), groups->group(g).end()),
                            rows);
                        ASSERT_EQ(groups->find(key), g);
                        ++g;
                    }
                    const std::uint64_t absent = (expected.empty() ? 0 : expected.rbegin()->first + 1) & mask;
                    if (!expected.contains(absent)) EXPECT_EQ(groups->find(absent), detail::KeyGroups::npos);
                }
                for (std::size_t p = 0; p < n; ++p) ASSERT_EQ(reused.tile().data[p], keys[reused.rows()[p]]);
                spare.emplace(std::move(reused));
            }
            std::vector<std::uint64_t> shared;
            std::size_t alone = 0;
            for (const auto& [key, rows] : expected) {
                alone += rows.size() == 1;
                if (rows.size() > 1)
                    for (const std::uint32_t r : rows) shared.push_back(key << 32 | r);
            }
            detail::SortedRows sorted;
            const auto fill = [&](std::size_t from, std::size_t to, std::uint64_t* out) {
                std::copy(keys.begin() + static_cast<std::ptrdiff_t>(from),
                          keys.begin() + static_cast<std::ptrdiff_t>(to), out);
            };
            ASSERT_EQ(detail::sort_shared_rows_by_key(n, fill, bits, sorted), alone);
            ASSERT_EQ(
                std::vector<std::uint64_t>(sorted.words.begin(),
                                           sorted.words.begin() + static_cast<std::ptrdiff_t>(sorted.size)),
                shared);
        }
    }
}

// Parts grouped together from one pass over the rows keep, for each part,
// exactly the rows that share the part's bits with another row, grouped by
// them, whatever the code width, the part's shape (a bit range and a spread
// list) or the duplicates; buffers reused from call to call change nothing.
TEST(KeyGroups, PartsGroupedFromOnePassKeepTheRowsThatShareEachPart) {
    detail::FamilyBuffers buffers;
    std::vector<detail::SortedRows> out;
    for (const std::uint64_t d_bytes : {4u, 8u, 13u}) {
        for (const std::uint64_t n : {0u, 1u, 600u, 70000u}) {
            const auto codes = n % 3 == 0 ? testing::clustered_codes(n, d_bytes, 40, 3)
                                          : testing::random_codes(n, d_bytes, static_cast<std::uint32_t>(n));
            // Every part holds bits 0 .. 9, the digit's (0 .. 7) among them,
            // then bits spread out or a second range (read as two runs of
            // the word).
            std::vector<Part> parts(3);
            for (std::size_t f = 0; f < parts.size(); ++f) {
                for (std::uint64_t b = 0; b < 10; ++b) parts[f].positions.push_back(b);
                for (std::uint64_t t = 0; t < 7; ++t)
                    parts[f].positions.push_back(f == 2 ? 19 + t : 10 + f + 3 * t);
            }
            Part digit_part;
            digit_part.positions = {0, 1, 2, 3, 4, 5, 6, 7};
            const detail::PartKeys digit(digit_part, d_bytes);
            std::vector<detail::PartKeys> part_keys;
            std::vector<detail::RowKeys> keys;
            std::vector<unsigned> key_bits;
            for (const Part& part : parts) part_keys.emplace_back(part, d_bytes);
            const auto row_keys = [](const detail::PartKeys& reader) -> detail::RowKeys {
                return [&reader](const std::uint8_t* rows, std::size_t count, std::uint64_t* out_keys) {
                    reader.group_keys(rows, 0, count, out_keys);
                };
            };
            for (const auto& reader : part_keys) {
                keys.push_back(row_keys(reader));
                key_bits.push_back(reader.key_bits());
            }
            const auto dropped = detail::sort_shared_rows_of_parts(codes.data(), n, d_bytes, row_keys(digit),
                                                                   keys, key_bits, out, buffers);
            for (std::size_t f = 0; f < parts.size(); ++f) {
                std::map<reference::ChunkKey, std::vector<std::uint32_t>> by_bits;
                for (std::uint32_t r = 0; r < n; ++r)
                    by_bits[reference::extract_bits_at(&codes[r * d_bytes], parts[f].positions)].push_back(r);
                std::vector<std::vector<std::uint32_t>> expected, found;
                for (auto& [bits, rows] : by_bits)
                    if (rows.size() > 1) expected.push_back(rows);
                const detail::SortedRows& sorted = out[f];
                for (std::size_t d = 0; d + 1 < sorted.bucket_start.size(); ++d)
                    for (std::size_t p = sorted.bucket_start[d]; p < sorted.bucket_start[d + 1]; ++p) {
                        const std::uint64_t word = sorted.words[p];
                        const bool opens =
                            p == sorted.bucket_start[d] || word >> 32 != sorted.words[p - 1] >> 32;
                        if (p != sorted.bucket_start[d])
                            ASSERT_LT(sorted.words[p - 1], word);  // keys, then rows
                        if (opens) found.emplace_back();
                        found.back().push_back(static_cast<std::uint32_t>(word));
                    }
                std::sort(expected.begin(), expected.end());
                std::sort(found.begin(), found.end());
                ASSERT_EQ(found, expected) << d_bytes << " bytes, " << n << " rows, part " << f;
                ASSERT_EQ(dropped[f], n - sorted.size);
                ASSERT_EQ(sorted.size, sorted.bucket_start.back());
            }
        }
    }
}

// Hashes that collide, crafted for a known seed. Equal codes are collapsed
// by a hash chain (code_hash): a second word chosen to cancel the first
// words' difference makes two codes hash alike, and they stay two codes.
TEST(Collisions, DistinctCodesComparesCodesWithEqualHashes) {
    detail::set_process_seed(0x5eed);
    auto rows = testing::random_codes(4, 16, 11);  // x, y, x, y
    std::uint64_t x1, y1;
    std::memcpy(&x1, &rows[8], 8);
    y1 = x1 ^ detail::code_hash(&rows[0], 8, 0x5eed) ^ detail::code_hash(&rows[16], 8, 0x5eed);
    std::memcpy(&rows[24], &y1, 8);  // little-endian, as code words are read
    std::copy_n(rows.begin(), 32, rows.begin() + 32);
    ASSERT_EQ(detail::code_hash(&rows[0], 16, 0x5eed), detail::code_hash(&rows[16], 16, 0x5eed));
    const detail::DistinctCodes distinct = detail::distinct_codes(rows.data(), 4, 16, nullptr);
    EXPECT_EQ(distinct.of_row, (std::vector<std::uint32_t>{0, 1, 0, 1}));
    EXPECT_EQ(distinct.first_row, (std::vector<std::uint32_t>{0, 1}));
}

// A hashed chunk (wider than kMaxExactPartBits) groups rows whose chunk
// hashes merely collide: the pair is verified there, but recorded only by the
// first chunk on which the rows agree. Two rows differing in 18 bits of the
// first of 19 chunks of 33 or 34 bits, equal elsewhere, found by searching
// 2^18 values of those bits for a collision under a fixed seed.
TEST(Collisions, HashedChunkRecordsAPairOnlyWhereItsRowsAgree) {
    detail::set_process_seed(0x5eed);
    const std::uint64_t d_bytes = 80;
    const Plan plan = chunk_plan(chunk_bit_boundaries(8 * d_bytes, 19));
    const detail::PartKeys first(plan.parts[0], d_bytes);
    ASSERT_FALSE(first.exact());
    const auto with_bits = [&](std::uint32_t v) {  // a zero row, bits 0 .. 17 set to v
        std::vector<std::uint8_t> row(d_bytes, 0);
        row[0] = static_cast<std::uint8_t>(v >> 10), row[1] = static_cast<std::uint8_t>(v >> 2);
        row[2] = static_cast<std::uint8_t>(v << 6);
        return row;
    };
    std::map<std::uint64_t, std::uint32_t> seen;
    std::vector<std::uint8_t> pair;
    for (std::uint32_t v = 0; v < (1u << 18) && pair.empty(); ++v)
        if (const auto [at, added] = seen.emplace(first.key(with_bits(v).data()), v); !added) {
            pair = with_bits(at->second);
            const auto second = with_bits(v);
            pair.insert(pair.end(), second.begin(), second.end());
        }
    ASSERT_FALSE(pair.empty()) << "no collision under this seed";
    const JoinInput input{pair.data(), 2, nullptr, 0, d_bytes, 18};
    EXPECT_EQ(join_with_plan(input, plan), reference::self_join(pair.data(), 2, d_bytes, 18));
}

}  // namespace
}  // namespace brimel
