#include "brimel/hash.hpp"

namespace brimel {
namespace {

std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    return x;
}

// Low 64 bits XOR high 64 bits of the full 128-bit product.
std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
    const auto product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Digest of a byte string of length L >= 17: 16-byte blocks folded into two
// lanes, then the last 16 bytes (which may overlap the last block) mixed in.
std::uint64_t byte_string_digest(const std::uint8_t* p, std::size_t len) {
    std::uint64_t s0 = 0x243f6a8885a308d3ull;
    std::uint64_t s1 = 0x13198a2e03707344ull;
    for (std::size_t offset = 0; offset < len - 16; offset += 16) {
        const std::uint64_t x = load_le64(p + offset);
        const std::uint64_t y = load_le64(p + offset + 8);
        const std::uint64_t t = fold_multiply(s0 ^ x, 0xa4093822299f31d0ull ^ y);
        s0 = s1;
        s1 = t;
    }
    s0 ^= load_le64(p + len - 16);
    s1 ^= load_le64(p + len - 8);
    return fold_multiply(s0, s1) ^ len;
}

}  // namespace

std::uint64_t chunk_key_hash(std::span<const std::uint8_t> bytes) {
    const std::uint64_t len = bytes.size();
    const std::uint64_t h = detail::fx_absorb(detail::fx_absorb(0, len),
                                              byte_string_digest(bytes.data(), bytes.size()));
    return detail::fx_finish(h);
}

}  // namespace brimel
