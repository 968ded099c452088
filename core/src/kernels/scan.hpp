// Tile scan kernels: one query code against a run of tile rows, every row
// within distance k reported with its exact distance. Every join verifies its
// candidates through these, and the all-pairs tile scan is nothing else.
//
// Codes are read as 64-bit words: bytes 8w .. 8w + 7 of a row, little-endian,
// zero-padded past the row's end (the padding XORs to zero, so distances are
// those of the d_bytes-byte rows).
//
// Three kernel sets compute identical results: AVX-512 (F + VPOPCNTDQ, 8 rows
// per step), AVX2 (4 rows per step, nibble-table popcount) and portable scalar
// code. active() picks one, once per process: the best the CPU runs, or the
// one BRIMEL_KERNEL names (brimel/kernels.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace brimel::kernels {

// `rows` codes of `words` words each, word-major: word w of tile row r is
// data[w * stride + r], so one load brings the same word of consecutive rows.
// stride >= rows.
struct Tile {
    const std::uint64_t* data;
    std::size_t stride;
    std::size_t words;
};

// Compares the query (tile.words words at `query`) with tile rows
// [begin, end). For each row r within distance k, in ascending r, writes r to
// pos[] and the distance to dist[]; returns how many were written (at most
// end - begin, which both outputs must have room for).
using ScanFn = std::size_t (*)(const std::uint64_t* query, const Tile& tile, std::size_t begin,
                               std::size_t end, std::uint32_t k, std::uint32_t* pos, std::uint32_t* dist);

struct KernelSet {
    const char* name;  // "avx512", "avx2" or "scalar"
    ScanFn scan;
};

// The kernel sets this CPU can run, best first; never empty (scalar is last).
std::span<const KernelSet* const> runnable();

// The set a BRIMEL_KERNEL value (std::nullopt when unset) asks for among
// `sets` (the runnable ones, best first): "best", empty or unset, the first;
// else the set of that name. Throws KernelUnavailable (brimel/kernels.hpp)
// for a known set not among them, or an unknown name.
const KernelSet& choose(std::optional<std::string_view> setting, std::span<const KernelSet* const> sets);

// choose(BRIMEL_KERNEL), decided on first use; a refusal is thrown again on
// every call.
const KernelSet& active();

// The per-ISA sets; a set is only called when runnable() lists it.
extern const KernelSet kScalar;
#if defined(__x86_64__) && defined(__GNUC__)
extern const KernelSet kAvx2;
extern const KernelSet kAvx512;
#endif

}  // namespace brimel::kernels
