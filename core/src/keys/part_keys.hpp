// The key of a row on one part of a plan, and the distance of two rows on it.
//
// A part of at most kMaxExactPartBits bits is keyed by its value: the bits read
// by BitChunkReader (a range) or PositionKeyReader (a list), so a key bit flips
// exactly when a part bit does and probing key ^ flips finds the part values
// within the threshold. A wider part (only the exact-match chunks of the fixed
// plans) is keyed by a 32-bit hash of its bits, seeded once per process
// (seed.hpp) so that no input can be crafted to collide; equal parts hash
// equal, and rows grouped by a colliding hash are told apart by part_distance.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "bit_chunk_reader.hpp"
#include "brimel/plan.hpp"
#include "mix.hpp"
#include "position_key_reader.hpp"

namespace brimel::detail {

// (word, mask) pairs covering a part's bits, ascending by word.
using WordMasks = std::vector<std::pair<std::size_t, std::uint64_t>>;
WordMasks word_masks(const Part& part);

// Every nonzero mask of at most `threshold` of the low `bits` bits: the key
// differences a part's probes try.
std::vector<std::uint64_t> flip_masks(unsigned bits, std::uint32_t threshold);

class PartKeys {
public:
    PartKeys(const Part& part, std::uint64_t d_bytes);
    // With the hashed part's seed given: keys that agree across processes
    // (the route keys of a spread join), not only within one.
    PartKeys(const Part& part, std::uint64_t d_bytes, std::uint64_t seed);

    std::uint64_t key(const std::uint8_t* row) const;
    // key() of rows [from, to) of `rows` (d_bytes apart) into out[0 .. to - from),
    // the reader chosen once for them all.
    void keys(const std::uint8_t* rows, std::size_t from, std::size_t to, std::uint64_t* out) const;
    // Keys that group rows as keys() does (equal exactly when the part's
    // bits are, for an exact part; key_bits() wide) with the bits in
    // whatever order reads fastest: a part of a few bit ranges in one word
    // is one or two runs of the word read big-end first. For grouping only:
    // never probed (flipped) nor compared with keys().
    void group_keys(const std::uint8_t* rows, std::size_t from, std::size_t to, std::uint64_t* out) const;
    // True when key() is the part's value (width() <= kMaxExactPartBits).
    bool exact() const { return exact_; }
    // Whether a key is read from one word of the row by a few shifts (a run
    // of bits, or a few runs, in one word): cheaper to read twice than to
    // hold. Other keys are read bit by bit, range by range, or hashed.
    bool in_one_word() const {
        return std::holds_alternative<InWord>(reader_) || std::holds_alternative<WordRuns>(reader_);
    }
    // in_one_word() of the keys of `part`, told without making them (the
    // planner prices key reads for many parts).
    static bool reads_in_one_word(const Part& part);
    // Significant bits of a key: the width when exact, else 32.
    unsigned key_bits() const { return key_bits_; }
    std::uint32_t threshold() const { return threshold_; }

    // The part's bits in word `word` of a row (keys/code_words.hpp): 0 when
    // it holds none.
    std::uint64_t word_mask(std::size_t word) const;

    // Bits of the part in which rows x and y differ.
    std::uint32_t part_distance(const std::uint8_t* x, const std::uint8_t* y) const;
    // part_distance(x, y) <= threshold().
    bool near(const std::uint8_t* x, const std::uint8_t* y) const;
    // The same from the rows' words (keys/code_words.hpp): x's back to back,
    // y's `y_stride` apart (a column of a word-major tile).
    bool near(const std::uint64_t* x, const std::uint64_t* y, std::size_t y_stride) const;

private:
    // A part whose bits are contiguous in one word is read with a shift and
    // a mask (the common case: byte-aligned parts of at most 4 bytes).
    struct InWord {
        std::size_t word;
        unsigned shift;
        std::uint64_t mask;
    };
    // A part within one word in a few runs of ones (a bit range across byte
    // boundaries, blocks combined): the runs shifted down side by side, in
    // ascending order of word bit, as a parallel bit extract would place them.
    static constexpr std::size_t kMaxRuns = 8;
    struct WordRuns {
        std::size_t word;
        unsigned count;
        std::array<unsigned, kMaxRuns> shift;      // right shift bringing run r to its key place
        std::array<std::uint64_t, kMaxRuns> mask;  // run r's bits in the word
    };
    // Whether keys of a part of these masks (an exact one) are read as
    // WordRuns or InWord: one word, at most kMaxRuns runs of ones.
    static bool in_word_runs(const WordMasks& masks);
    std::variant<std::monostate, InWord, WordRuns, BitChunkReader, PositionKeyReader> reader_;
    // The part's word byte-swapped: bit ranges of the code are runs of it
    // (bit p of a row is bit 63 - p % 64 of its word), so a part of two
    // ranges is two runs, shifted down side by side.
    struct SwappedRuns {
        std::size_t word;
        std::uint64_t mask0, mask1;
        unsigned shift0, shift1;
    };
    std::optional<SwappedRuns> swapped_;
    bool exact_ = false;
    WordMasks masks_;
    std::uint64_t d_bytes_;
    std::uint64_t seed_;  // of a hashed part's key (seed.hpp), fixed for the keys' life
    unsigned key_bits_;
    std::uint32_t threshold_;
};

}  // namespace brimel::detail
