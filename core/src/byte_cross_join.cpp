// Byte-level cross-join: k + 1 byte chunks processed one after another on the
// calling thread, each grouping A's rows and streaming B's against them; then
// the shared sort, repeat removal and full-count verification.
#include <cstdint>
#include <string>
#include <vector>

#include "brimel/byte_plan.hpp"
#include "brimel/cross_join.hpp"
#include "brimel/errors.hpp"
#include "byte_string_key.hpp"
#include "chunk_table.hpp"
#include "cross_join_pipeline.hpp"

namespace brimel {
namespace {

[[noreturn, gnu::cold]] void panic_k_too_large(std::uint32_t k, std::uint64_t d_bytes) {
    panic("brimel: k (" + std::to_string(k) + ") must be < d_bytes (" + std::to_string(d_bytes) +
          "). At k >= d_bytes the byte-aligned chunk brimelhole can miss pairs. Use FAISS IndexBinaryFlat "
          "for that regime.");
}

// Appends the cross candidates of one chunk, keyed by `key_at(chunk bytes)`.
// `a` and `b` point at the chunk's first byte in row 0 of each matrix.
template <class Key, class Hasher, class KeyAt>
void append_chunk_candidates(std::vector<CandidatePair>& out, const std::uint8_t* a, std::uint64_t n_a,
                             const std::uint8_t* b, std::uint64_t n_b, std::uint64_t d_bytes,
                             KeyAt key_at) {
    detail::append_cross_candidates<Key, Hasher>(
        out, n_a, [&](std::uint32_t i) { return key_at(a + i * d_bytes); }, n_b,
        [&](std::uint32_t j) { return key_at(b + j * d_bytes); });
}

}  // namespace

std::vector<PairRecord> find_pairs_cross(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data,
                                         std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k) {
    detail::check_cross_join_lengths(a_data, n_a, b_data, n_b, d_bytes);
    if (k >= d_bytes) panic_k_too_large(k, d_bytes);
    detail::check_cross_join_rows(n_a, n_b);

    // k + 1 as a 64-bit count, so k = 4294967295 does not wrap to 0.
    const std::vector<ByteRange> plan = chunk_boundaries(d_bytes, std::uint64_t{k} + 1);
    if (n_a == 0 || n_b == 0) return {};

    // Every chunk's candidates, repeats included: a pair of equal rows is found
    // on all k + 1 chunks. Removed before verification.
    std::vector<CandidatePair> candidates;
    for (const auto& [start, end] : plan) {
        const std::uint64_t width = end - start;
        const std::uint8_t* a = a_data.data() + start;
        const std::uint8_t* b = b_data.data() + start;
        // Keys of up to 8 bytes are held in one word (half the table memory);
        // they hash as the 128-bit key of the same bytes would.
        if (width <= 8) {
            append_chunk_candidates<std::uint64_t, detail::ChunkKeyHasher>(
                candidates, a, n_a, b, n_b, d_bytes, [width](const std::uint8_t* chunk) {
                    return static_cast<std::uint64_t>(byte_chunk_key(chunk, width));
                });
        } else if (width <= 16) {
            append_chunk_candidates<ChunkKey, detail::ChunkKeyHasher>(
                candidates, a, n_a, b, n_b, d_bytes,
                [width](const std::uint8_t* chunk) { return byte_chunk_key(chunk, width); });
        } else {
            append_chunk_candidates<detail::ByteStringKey, detail::ByteStringKeyHasher>(
                candidates, a, n_a, b, n_b, d_bytes,
                [width](const std::uint8_t* chunk) { return detail::ByteStringKey{chunk, width}; });
        }
    }
    return detail::sort_dedup_verify_cross(std::move(candidates), a_data, b_data, d_bytes, k,
                                           detail::VerifyKernel::full_count);
}

}  // namespace brimel
