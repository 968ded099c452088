// Codes read as 64-bit words, the unit of every distance count: word w of a
// row is its bytes 8w .. 8w + 7 read little-endian, zero-filled past the row's
// end, so XOR-ing two rows' words and counting bits gives their distance.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace brimel::detail {

// Words per row of d_bytes bytes.
constexpr std::size_t words_per_row(std::uint64_t d_bytes) {
    return static_cast<std::size_t>((d_bytes + 7) / 8);
}

inline std::uint64_t load_word(const std::uint8_t* row, std::size_t w, std::uint64_t d_bytes) {
    const std::uint64_t at = 8 * std::uint64_t{w};
    std::uint64_t word = 0;
    if (d_bytes - at >= 8) [[likely]] {
        std::memcpy(&word, row + at, 8);  // a fixed-size copy: one load
    } else {
        std::memcpy(&word, row + at, static_cast<std::size_t>(d_bytes - at));
    }
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// Where bit p of a row (bit 0 the most significant bit of byte 0) lies:
// (word, bit of that word counted from its least significant bit).
constexpr std::pair<std::size_t, unsigned> word_bit(std::uint64_t p) {
    const std::uint64_t byte = p / 8;
    return {static_cast<std::size_t>(byte / 8), static_cast<unsigned>(8 * (byte % 8) + 7 - p % 8)};
}

}  // namespace brimel::detail
