// Reads the key of a row over a position list (a part listing its bits) with
// one table lookup per source byte instead of one step per listed bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "brimel/errors.hpp"

namespace brimel::detail {

// reader(row): key bit t is bit positions[t] of the row, for a list of at
// most 64 positions inside the row, in any order, repeats allowed (a longer
// list panics with "PositionKeyReader: more than 64 positions").
//
// For every row byte that the list touches, a 256-entry table maps the byte's
// value to the key bits it contributes (list entry t reading a set bit gives
// key bit t); a key is the OR of one entry per touched byte. Tables cost
// 2 KiB per touched byte: at most 64 tables, 128 KiB.
class PositionKeyReader {
public:
    explicit PositionKeyReader(std::span<const std::uint64_t> positions) {
        if (positions.size() > 64) panic("PositionKeyReader: more than 64 positions");
        for (std::size_t t = 0; t < positions.size(); ++t) {
            const std::uint64_t byte = positions[t] / 8;
            const unsigned mask = 0x80u >> (positions[t] % 8);
            std::uint64_t* table = table_for(byte);
            for (unsigned value = 0; value < 256; ++value)
                if (value & mask) table[value] |= std::uint64_t{1} << t;
        }
    }

    std::uint64_t operator()(const std::uint8_t* row) const {
        std::uint64_t key = 0;
        const std::uint64_t* table = tables_.data();
        for (const std::uint64_t byte : bytes_) {
            key |= table[row[byte]];
            table += 256;
        }
        return key;
    }

private:
    std::uint64_t* table_for(std::uint64_t byte) {
        std::size_t slot = 0;
        while (slot < bytes_.size() && bytes_[slot] != byte) ++slot;
        if (slot == bytes_.size()) {
            bytes_.push_back(byte);
            tables_.resize(tables_.size() + 256, 0);
        }
        return tables_.data() + 256 * slot;
    }

    std::vector<std::uint64_t> bytes_;   // touched row bytes, in order of first use
    std::vector<std::uint64_t> tables_;  // 256 entries per touched byte, same order
};

}  // namespace brimel::detail
