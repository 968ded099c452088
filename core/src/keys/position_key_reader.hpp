// Reads the chunk key of a row over a position list (an adaptive chunk) with
// one table lookup per source byte instead of one step per listed bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/errors.hpp"
#include "brimel/types.hpp"

namespace brimel::detail {

// reader(row) == extract_bits_at(row, positions) for the list it was made for
// (positions inside the row, in any order, repeats allowed). Key is
// std::uint64_t for lists of at most 64 positions, else ChunkKey; the value is
// the same either way.
//
// For every row byte that the list touches, a 256-entry table maps the byte's
// value to the key bits it contributes (list entry t reading a set bit gives
// key bit t); a key is the OR of one entry per touched byte. Tables cost
// 256 * sizeof(Key) bytes per touched byte: at most 128 tables, 512 KiB, for a
// list of 128 positions in 128 different bytes.
template <class Key>
class PositionKeyReader {
public:
    explicit PositionKeyReader(std::span<const std::uint64_t> positions) {
        if (positions.size() > kMaxChunkBits) panic("extract_bits_at: too many positions");
        if (positions.size() > 8 * sizeof(Key)) panic("position list too long for its key type");
        for (std::size_t t = 0; t < positions.size(); ++t) {
            const std::uint64_t byte = positions[t] / 8;
            const unsigned mask = 0x80u >> (positions[t] % 8);
            Key* table = table_for(byte);
            for (unsigned value = 0; value < 256; ++value)
                if (value & mask) table[value] |= Key{1} << t;
        }
    }

    Key operator()(const std::uint8_t* row) const {
        Key key = 0;
        const Key* table = tables_.data();
        for (const std::uint64_t byte : bytes_) {
            key |= table[row[byte]];
            table += 256;
        }
        return key;
    }

private:
    Key* table_for(std::uint64_t byte) {
        std::size_t slot = 0;
        while (slot < bytes_.size() && bytes_[slot] != byte) ++slot;
        if (slot == bytes_.size()) {
            bytes_.push_back(byte);
            tables_.resize(tables_.size() + 256, Key{0});
        }
        return tables_.data() + 256 * slot;
    }

    std::vector<std::uint64_t> bytes_;  // touched row bytes, in order of first use
    std::vector<Key> tables_;           // 256 entries per touched byte, same order
};

}  // namespace brimel::detail
