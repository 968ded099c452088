#include "part_keys.hpp"

#include <algorithm>
#include <bit>

#include "../kernels/popcount_clones.hpp"
#include "../seed.hpp"
#include "code_words.hpp"

namespace brimel::detail {
namespace {

// The 64-bit finaliser of MurmurHash3: every input bit reaches every output bit.
constexpr std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

}  // namespace

WordMasks word_masks(const Part& part) {
    if (part.width() == 0) return {};
    const std::uint64_t last = part.positions.empty() ? part.hi - 1 : part.positions.back();
    std::vector<std::uint64_t> mask(word_bit(last).first + 1, 0);
    const auto add = [&](std::uint64_t p) {
        const auto [word, bit] = word_bit(p);
        mask[word] |= std::uint64_t{1} << bit;
    };
    if (part.positions.empty()) {
        for (std::uint64_t p = part.lo; p < part.hi; ++p) add(p);
    } else {
        for (const std::uint64_t p : part.positions) add(p);
    }
    WordMasks masks;
    for (std::size_t w = 0; w < mask.size(); ++w)
        if (mask[w] != 0) masks.emplace_back(w, mask[w]);
    return masks;
}

std::vector<std::uint64_t> flip_masks(unsigned bits, std::uint32_t threshold) {
    std::vector<std::uint64_t> flips;
    const auto extend = [&](auto& self, std::uint64_t mask, unsigned from, std::uint32_t left) -> void {
        for (unsigned b = from; b < bits; ++b) {
            const std::uint64_t next = mask | (std::uint64_t{1} << b);
            flips.push_back(next);
            if (left > 1) self(self, next, b + 1, left - 1);
        }
    };
    if (threshold > 0) extend(extend, 0, 0, threshold);
    return flips;
}

PartKeys::PartKeys(const Part& part, std::uint64_t d_bytes)
    : masks_(word_masks(part)),
      d_bytes_(d_bytes),
      seed_(process_seed()),
      key_bits_(32),
      threshold_(part.threshold) {
    if (part.width() > kMaxExactPartBits) return;
    exact_ = true;
    key_bits_ = static_cast<unsigned>(std::max<std::uint64_t>(part.width(), 1));
    if (masks_.size() == 1) {
        const auto [word, mask] = masks_.front();
        const unsigned shift = static_cast<unsigned>(std::countr_zero(mask));
        if (std::has_single_bit((mask >> shift) + 1)) {  // one run of ones
            reader_.emplace<InWord>(InWord{word, shift, mask >> shift});
            return;
        }
    }
    if (part.positions.empty()) {
        reader_.emplace<BitChunkReader>(BitRange{part.lo, part.hi});
    } else {
        reader_.emplace<PositionKeyReader>(part.positions);
    }
}

std::uint64_t PartKeys::key(const std::uint8_t* row) const {
    if (const auto* in_word = std::get_if<InWord>(&reader_))
        return (load_word(row, in_word->word, d_bytes_) >> in_word->shift) & in_word->mask;
    if (const auto* range = std::get_if<BitChunkReader>(&reader_)) return (*range)(row);
    if (const auto* list = std::get_if<PositionKeyReader>(&reader_)) return (*list)(row);
    std::uint64_t h = seed_;
    for (const auto& [word, mask] : masks_) h = mix(h ^ (load_word(row, word, d_bytes_) & mask)) + word;
    return h >> 32;
}

// Both counts run once per verified pair or listed row: compiled with and
// without the POPCNT instruction, the loader picking the clone the CPU runs.
BRIMEL_POPCNT_CLONES
std::uint32_t PartKeys::part_distance(const std::uint8_t* x, const std::uint8_t* y) const {
    std::uint32_t count = 0;
    for (const auto& [word, mask] : masks_)
        count += static_cast<std::uint32_t>(
            std::popcount((load_word(x, word, d_bytes_) ^ load_word(y, word, d_bytes_)) & mask));
    return count;
}

BRIMEL_POPCNT_CLONES
bool PartKeys::near(const std::uint8_t* x, const std::uint8_t* y) const {
    std::uint32_t count = 0;
    for (const auto& [word, mask] : masks_) {
        count += static_cast<std::uint32_t>(
            std::popcount((load_word(x, word, d_bytes_) ^ load_word(y, word, d_bytes_)) & mask));
        if (count > threshold_) return false;
    }
    return true;
}

}  // namespace brimel::detail
