#include "brimel/limits.hpp"

namespace brimel::messages {

static_assert(kMaxRows == 4294967295u && kMaxChunkBits == 128, "the texts print these limits");

namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

// 8 * d_bytes in decimal, without wrapping.
std::string exact_code_bits(std::uint64_t d_bytes) {
    unsigned __int128 bits = static_cast<unsigned __int128>(d_bytes) * 8;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(bits % 10)));
        bits /= 10;
    } while (bits != 0);
    return digits;
}

}  // namespace

std::string k_not_below_code_bits(std::string_view prefix, std::uint64_t k, std::uint64_t d_bytes) {
    return std::string(prefix) + "k (" + number(k) + ") must be < 8*d_bytes (" + number(code_bits(d_bytes)) +
           ")";
}

std::string k_not_below_d_bytes(std::uint64_t k, std::uint64_t d_bytes, std::string_view advice) {
    return "brimel: k (" + number(k) + ") must be < d_bytes (" + number(d_bytes) +
           "). At k >= d_bytes the byte-aligned chunk brimelhole can miss pairs. " + std::string(advice);
}

std::string k_not_below_d_bytes_plain(std::uint64_t k, std::uint64_t d_bytes) {
    return "k (" + number(k) + ") must be < d_bytes (" + number(d_bytes) + ") for byte-level path";
}

std::string k_outside_code_width(std::string_view k, std::uint64_t d_bytes, bool nonnegative) {
    return "k (" + std::string(k) + ") must be " + (nonnegative ? ">= 0 and " : "") +
           "below the code width in bits (" + exact_code_bits(d_bytes) + ")";
}

std::string rows_exceed_ids(std::string_view name) { return std::string(name) + " exceeds u32::MAX"; }

}  // namespace brimel::messages
