#include "brute_force.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace brimel::reference {
namespace {

// Bit by bit on purpose: shares no code or trick with the engine's kernels.
uint32_t distance(const uint8_t* a, const uint8_t* b, uint64_t d_bytes) {
    uint32_t d = 0;
    for (uint64_t t = 0; t < d_bytes; ++t)
        for (int bit = 0; bit < 8; ++bit) d += ((a[t] ^ b[t]) >> bit) & 1u;
    return d;
}

// Every (i, j) within k; for a self-join (b == nullptr) only j > i, of a.
std::vector<PairRecord> join(const uint8_t* a, uint64_t n_a, const uint8_t* b, uint64_t n_b, uint64_t d_bytes,
                             uint32_t k) {
    std::vector<PairRecord> records;
    for (uint64_t i = 0; i < n_a; ++i)
        for (uint64_t j = b ? 0 : i + 1; j < (b ? n_b : n_a); ++j) {
            const uint32_t d = distance(a + i * d_bytes, (b ? b : a) + j * d_bytes, d_bytes);
            if (d <= k) records.push_back({uint32_t(i), uint32_t(j), d});
        }
    return records;
}

// The records as the C ABI's malloc'd triples (a PairRecord is three uint32).
uint64_t to_c_array(const std::vector<PairRecord>& records, uint32_t** out) {
    static_assert(sizeof(PairRecord) == 3 * sizeof(uint32_t));
    *out = nullptr;
    if (records.empty()) return 0;
    *out = static_cast<uint32_t*>(std::malloc(records.size() * sizeof(PairRecord)));
    if (*out == nullptr) throw std::bad_alloc();
    std::memcpy(*out, records.data(), records.size() * sizeof(PairRecord));
    return records.size();
}

}  // namespace

std::vector<PairRecord> self_join(const uint8_t* data, uint64_t n, uint64_t d_bytes, uint32_t k) {
    return join(data, n, nullptr, 0, d_bytes, k);
}

std::vector<PairRecord> cross_join(const uint8_t* a, uint64_t n_a, const uint8_t* b, uint64_t n_b,
                                   uint64_t d_bytes, uint32_t k) {
    return join(a, n_a, b, n_b, d_bytes, k);
}

ChunkKey extract_bits(const uint8_t* row, uint64_t lo, uint64_t hi) {
    ChunkKey key = 0;
    for (unsigned placed = 0; lo < hi;) {
        const unsigned offset = lo % 8,
                       take = static_cast<unsigned>(hi - lo < 8 - offset ? hi - lo : 8 - offset);
        key |= static_cast<ChunkKey>((row[lo / 8] >> (8 - offset - take)) & ((1u << take) - 1u)) << placed;
        placed += take;
        lo += take;
    }
    return key;
}

ChunkKey extract_bits_at(const uint8_t* row, std::span<const uint64_t> positions) {
    ChunkKey key = 0;
    for (std::size_t t = 0; t < positions.size(); ++t)
        key |= static_cast<ChunkKey>((row[positions[t] / 8] >> (7 - positions[t] % 8)) & 1u) << t;
    return key;
}

}  // namespace brimel::reference

extern "C" uint64_t brimel_reference_self(const uint8_t* data, uint64_t n, uint64_t d_bytes, uint32_t k,
                                          uint32_t** out) {
    return brimel::reference::to_c_array(brimel::reference::self_join(data, n, d_bytes, k), out);
}

extern "C" uint64_t brimel_reference_cross(const uint8_t* a, uint64_t n_a, const uint8_t* b, uint64_t n_b,
                                           uint64_t d_bytes, uint32_t k, uint32_t** out) {
    return brimel::reference::to_c_array(brimel::reference::cross_join(a, n_a, b, n_b, d_bytes, k), out);
}

extern "C" void brimel_reference_free(uint32_t* triples) { std::free(triples); }
