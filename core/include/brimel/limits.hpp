// The limits of a search, and the texts that report them. Every check of a
// limit, in the engine, the binding and (through _brimel_pairs.k_error) the
// Python layer, asks these predicates and words its refusal with these
// builders, so that each fact is stated once:
//  - row ids are unsigned 32-bit: a code matrix, a query batch or an Index
//    holds at most kMaxRows rows;
//  - a search needs k below the code width, 8 * d_bytes bits (the byte-aligned
//    joins: k below d_bytes);
//  - a chunk of a bit chunk plan is keyed whole, so it is at most
//    kMaxChunkBits bits wide.
// Numbers in messages are plain decimal: k as given, d_bytes, and for the
// width the product 8 * d_bytes in unsigned 64-bit arithmetic (code_bits),
// except where a message says otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brimel {

// Row ids are unsigned 32-bit, so a code matrix holds at most this many rows.
inline constexpr std::uint64_t kMaxRows = 0xFFFFFFFFull;

// The widest chunk of a bit chunk plan, in bits.
inline constexpr std::uint64_t kMaxChunkBits = 128;

constexpr bool rows_fit_ids(std::uint64_t n) noexcept { return n <= kMaxRows; }

constexpr bool chunk_fits_key(std::uint64_t width_bits) noexcept { return width_bits <= kMaxChunkBits; }

// 8 * d_bytes in unsigned 64-bit arithmetic: the width the messages of the six
// list-returning joins and of the Index print. It wraps for d_bytes >= 2^61,
// which only an array without rows can have.
constexpr std::uint64_t code_bits(std::uint64_t d_bytes) noexcept { return 8 * d_bytes; }

// k < 8 * d_bytes exactly, with no product that can wrap: the test of the
// planned join, find_groups, explain and the Python layer.
constexpr bool k_below_code_width(std::uint64_t k, std::uint64_t d_bytes) noexcept { return k / 8 < d_bytes; }

// k < code_bits(d_bytes): the test as the six list-returning joins and the
// Index constructor make it, against the product their messages print.
constexpr bool k_below_code_bits(std::uint64_t k, std::uint64_t d_bytes) noexcept {
    return k < code_bits(d_bytes);
}

namespace messages {

// "<prefix>k (<k>) must be < 8*d_bytes (<code_bits>)", prefix "brimel: " in the
// joins, "Index: " in the index.
std::string k_not_below_code_bits(std::string_view prefix, std::uint64_t k, std::uint64_t d_bytes);

// "brimel: k (<k>) must be < d_bytes (<d_bytes>). At k >= d_bytes the
// byte-aligned chunk brimelhole can miss pairs. <advice>"
std::string k_not_below_d_bytes(std::uint64_t k, std::uint64_t d_bytes, std::string_view advice);
inline constexpr std::string_view kSelfJoinAdvice =
    "For that regime use faiss.IndexBinaryFlat or a bit-level chunk implementation (not yet shipped).";
inline constexpr std::string_view kCrossJoinAdvice = "For that regime use faiss.IndexBinaryFlat.";
inline constexpr std::string_view kEngineAdvice = "Use FAISS IndexBinaryFlat for that regime.";

// "k (<k>) must be < d_bytes (<d_bytes>) for byte-level path"
std::string k_not_below_d_bytes_plain(std::uint64_t k, std::uint64_t d_bytes);

// "k (<k>) must be below the code width in bits (<8 * d_bytes>)", with
// ">= 0 and " before "below" when `nonnegative` says so (the Python layer's
// text, where k may be any int). `k` is the decimal text of k; the width is
// the exact product, wide as it may be.
std::string k_outside_code_width(std::string_view k, std::uint64_t d_bytes, bool nonnegative);

// "<name> exceeds u32::MAX" for a matrix of more than kMaxRows rows, name
// "n", "n_a" or "n_b".
std::string rows_exceed_ids(std::string_view name);

inline constexpr std::string_view kTooManyRows = "more than 4294967295 rows: row ids are unsigned 32-bit";
inline constexpr std::string_view kTooManyQueryRows =
    "more than 4294967295 rows: query rows are numbered with unsigned 32-bit ids";
// Prefixed "Index: " in the index.
inline constexpr std::string_view kChunkTooWide = "bit chunk wider than 128 bits";

}  // namespace messages
}  // namespace brimel
