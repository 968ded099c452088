#include "part_keys.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "../kernels/clones.hpp"
#include "../seed.hpp"
#include "code_words.hpp"

namespace brimel::detail {
WordMasks word_masks(const Part& part) {
    // One entry per word the part touches, whatever word its last bit lies in
    // (a table up to that word would be sized by the code's width).
    WordMasks masks;
    const auto add = [&](std::uint64_t p) {
        const auto [word, bit] = word_bit(p);
        if (masks.empty() || masks.back().first != word) masks.emplace_back(word, 0);
        masks.back().second |= std::uint64_t{1} << bit;
    };
    if (part.positions.empty()) {
        for (std::uint64_t p = part.lo; p < part.hi; ++p) add(p);
        return masks;
    }
    for (const std::uint64_t p : part.positions) add(p);
    // Positions in any order: entries sorted by word, those of one word merged.
    std::sort(masks.begin(), masks.end());
    WordMasks merged;
    for (const auto& [word, mask] : masks) {
        if (!merged.empty() && merged.back().first == word) {
            merged.back().second |= mask;
        } else {
            merged.emplace_back(word, mask);
        }
    }
    return merged;
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

bool PartKeys::in_word_runs(const WordMasks& masks) {
    if (masks.size() != 1) return false;
    const std::uint64_t mask = masks.front().second;
    return static_cast<std::size_t>(std::popcount(mask & ~(mask << 1))) <= kMaxRuns;  // runs of ones
}

bool PartKeys::reads_in_one_word(const Part& part) {
    return part.width() > 0 && part.width() <= kMaxExactPartBits && in_word_runs(word_masks(part));
}

PartKeys::PartKeys(const Part& part, std::uint64_t d_bytes) : PartKeys(part, d_bytes, process_seed()) {}

PartKeys::PartKeys(const Part& part, std::uint64_t d_bytes, std::uint64_t seed)
    : masks_(word_masks(part)), d_bytes_(d_bytes), seed_(seed), key_bits_(32), threshold_(part.threshold) {
    if (part.width() > kMaxExactPartBits) return;
    exact_ = true;
    key_bits_ = static_cast<unsigned>(std::max<std::uint64_t>(part.width(), 1));
    if (masks_.size() == 1) {
        const auto [word, mask] = masks_.front();
        const std::uint64_t swapped = __builtin_bswap64(mask);
        const auto run_at = [](std::uint64_t bits) {
            const auto low = static_cast<unsigned>(std::countr_zero(bits));
            const auto length = static_cast<unsigned>(std::countr_one(bits >> low));
            return length == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << length) - 1) << low;
        };
        const std::uint64_t run0 = run_at(swapped);
        const std::uint64_t run1 = swapped & ~run0;
        if (run1 == 0 || run_at(run1) == run1) {
            const auto low0 = static_cast<unsigned>(std::countr_zero(run0));
            const auto low1 = run1 == 0 ? 0u : static_cast<unsigned>(std::countr_zero(run1));
            swapped_ = SwappedRuns{word, run0, run1, low0,
                                   low1 - static_cast<unsigned>(std::popcount(run0)) * (run1 != 0)};
        }
        const unsigned shift = static_cast<unsigned>(std::countr_zero(mask));
        if (std::has_single_bit((mask >> shift) + 1)) {  // one run of ones
            reader_.emplace<InWord>(InWord{word, shift, mask >> shift});
            return;
        }
        if (in_word_runs(masks_)) {
            WordRuns runs{word, 0, {}, {}};
            unsigned placed = 0;  // key bits filled by the runs before
            for (std::uint64_t rest = mask; rest != 0; ++runs.count) {
                const auto low = static_cast<unsigned>(std::countr_zero(rest));
                const auto length = static_cast<unsigned>(std::countr_one(rest >> low));
                const std::uint64_t run =
                    length == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << length) - 1) << low;
                runs.shift[runs.count] = low - placed;
                runs.mask[runs.count] = run;
                placed += length;
                rest &= ~run;
            }
            reader_.emplace<WordRuns>(runs);
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
    if (const auto* runs = std::get_if<WordRuns>(&reader_)) {
        const std::uint64_t word = load_word(row, runs->word, d_bytes_);
        std::uint64_t key = 0;
        for (unsigned r = 0; r < runs->count; ++r) key |= (word & runs->mask[r]) >> runs->shift[r];
        return key;
    }
    if (const auto* range = std::get_if<BitChunkReader>(&reader_)) return (*range)(row);
    if (const auto* list = std::get_if<PositionKeyReader>(&reader_)) return (*list)(row);
    std::uint64_t h = seed_;
    for (const auto& [word, mask] : masks_) h = mix(h ^ (load_word(row, word, d_bytes_) & mask)) + word;
    return h >> 32;
}

void PartKeys::keys(const std::uint8_t* rows, std::size_t from, std::size_t to, std::uint64_t* out) const {
    // Members read into locals: stores to `out` could otherwise alias them,
    // and they would be read again for every row.
    const std::uint64_t d_bytes = d_bytes_;
    const auto each = [&](auto&& key_of) {
        for (std::size_t r = from; r < to; ++r) out[r - from] = key_of(rows + r * d_bytes);
    };
    if (const auto* in_word = std::get_if<InWord>(&reader_)) {
        const InWord read = *in_word;
        each([&](const std::uint8_t* row) {
            return (load_word(row, read.word, d_bytes) >> read.shift) & read.mask;
        });
    } else if (const auto* runs = std::get_if<WordRuns>(&reader_); runs != nullptr && runs->count == 2) {
        // Two runs: a part of two blocks in one word, the common block part.
        const std::size_t at = runs->word;
        const std::uint64_t mask0 = runs->mask[0], mask1 = runs->mask[1];
        const unsigned shift0 = runs->shift[0], shift1 = runs->shift[1];
        each([&](const std::uint8_t* row) {
            const std::uint64_t word = load_word(row, at, d_bytes);
            return ((word & mask0) >> shift0) | ((word & mask1) >> shift1);
        });
    } else if (runs != nullptr) {
        const WordRuns read = *runs;
        each([&](const std::uint8_t* row) {
            const std::uint64_t word = load_word(row, read.word, d_bytes);
            std::uint64_t key = 0;
            for (unsigned r = 0; r < read.count; ++r) key |= (word & read.mask[r]) >> read.shift[r];
            return key;
        });
    } else {
        each([&](const std::uint8_t* row) { return key(row); });
    }
}

namespace {

// Keys of `count` rows of 8 bytes (of one word), each two runs of the row's
// word read big-end first, shifted down side by side (PartKeys::SwappedRuns):
// a loop the compiler vectorizes.
BRIMEL_AVX2_CLONES void swapped_run_keys(const std::uint8_t* rows, std::size_t count, std::uint64_t mask0,
                                         unsigned shift0, std::uint64_t mask1, unsigned shift1,
                                         std::uint64_t* out) {
    for (std::size_t r = 0; r < count; ++r) {
        std::uint64_t word;
        std::memcpy(&word, rows + 8 * r, 8);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        out[r] = ((word & mask0) >> shift0) | ((word & mask1) >> shift1);
    }
}

}  // namespace

void PartKeys::group_keys(const std::uint8_t* rows, std::size_t from, std::size_t to,
                          std::uint64_t* out) const {
    if (!swapped_) return keys(rows, from, to, out);
    const std::uint64_t d_bytes = d_bytes_;
    const SwappedRuns read = *swapped_;
    if (d_bytes == 8)
        return swapped_run_keys(rows + 8 * from, to - from, read.mask0, read.shift0, read.mask1, read.shift1,
                                out);
    for (std::size_t r = from; r < to; ++r) {
        // load_word gives the word little-end first on every host.
        const std::uint64_t word = __builtin_bswap64(load_word(rows + r * d_bytes, read.word, d_bytes));
        out[r - from] = ((word & read.mask0) >> read.shift0) | ((word & read.mask1) >> read.shift1);
    }
}

std::uint64_t PartKeys::word_mask(std::size_t word) const {
    for (const auto& [at, mask] : masks_)
        if (at == word) return mask;
    return 0;
}

std::uint32_t PartKeys::part_distance(const std::uint8_t* x, const std::uint8_t* y) const {
    std::uint32_t count = 0;
    for (const auto& [word, mask] : masks_)
        count += static_cast<std::uint32_t>(
            std::popcount((load_word(x, word, d_bytes_) ^ load_word(y, word, d_bytes_)) & mask));
    return count;
}

// Both counts run once per verified pair or listed row: compiled with and
// without the POPCNT instruction, the loader picking the clone the CPU runs.
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

BRIMEL_POPCNT_CLONES
bool PartKeys::near(const std::uint64_t* x, const std::uint64_t* y, std::size_t y_stride) const {
    std::uint32_t count = 0;
    for (const auto& [word, mask] : masks_) {
        count += static_cast<std::uint32_t>(std::popcount((x[word] ^ y[word * y_stride]) & mask));
        if (count > threshold_) return false;
    }
    return true;
}

}  // namespace brimel::detail
