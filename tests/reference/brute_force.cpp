#include "brute_force.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Bit by bit on purpose: shares no code or trick with the engine's kernels.
uint32_t distance(const uint8_t* a, const uint8_t* b, uint64_t d_bytes) {
    uint32_t d = 0;
    for (uint64_t t = 0; t < d_bytes; ++t)
        for (int bit = 0; bit < 8; ++bit) d += ((a[t] ^ b[t]) >> bit) & 1u;
    return d;
}

uint64_t to_c_array(const std::vector<uint32_t>& triples, uint32_t** out) {
    *out = nullptr;
    if (triples.empty()) return 0;
    *out = static_cast<uint32_t*>(std::malloc(triples.size() * sizeof(uint32_t)));
    if (*out == nullptr) throw std::bad_alloc();
    std::memcpy(*out, triples.data(), triples.size() * sizeof(uint32_t));
    return triples.size() / 3;
}

}  // namespace

extern "C" uint64_t brimel_reference_self(const uint8_t* data, uint64_t n, uint64_t d_bytes, uint32_t k,
                                          uint32_t** out) {
    std::vector<uint32_t> triples;
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t j = i + 1; j < n; ++j) {
            const uint32_t d = distance(data + i * d_bytes, data + j * d_bytes, d_bytes);
            if (d <= k) triples.insert(triples.end(), {uint32_t(i), uint32_t(j), d});
        }
    return to_c_array(triples, out);
}

extern "C" uint64_t brimel_reference_cross(const uint8_t* a, uint64_t n_a, const uint8_t* b, uint64_t n_b,
                                           uint64_t d_bytes, uint32_t k, uint32_t** out) {
    std::vector<uint32_t> triples;
    for (uint64_t i = 0; i < n_a; ++i)
        for (uint64_t j = 0; j < n_b; ++j) {
            const uint32_t d = distance(a + i * d_bytes, b + j * d_bytes, d_bytes);
            if (d <= k) triples.insert(triples.end(), {uint32_t(i), uint32_t(j), d});
        }
    return to_c_array(triples, out);
}

extern "C" void brimel_reference_free(uint32_t* triples) { std::free(triples); }

namespace brimel::reference {
namespace {
std::vector<PairRecord> to_records(uint32_t* triples, uint64_t count) {
    std::vector<PairRecord> records(count);
    for (uint64_t r = 0; r < count; ++r)
        records[r] = {triples[3 * r], triples[3 * r + 1], triples[3 * r + 2]};
    brimel_reference_free(triples);
    return records;
}
}  // namespace

std::vector<PairRecord> self_join(const uint8_t* data, uint64_t n, uint64_t d_bytes, uint32_t k) {
    uint32_t* triples = nullptr;
    const uint64_t count = brimel_reference_self(data, n, d_bytes, k, &triples);
    return to_records(triples, count);
}

std::vector<PairRecord> cross_join(const uint8_t* a, uint64_t n_a, const uint8_t* b, uint64_t n_b,
                                   uint64_t d_bytes, uint32_t k) {
    uint32_t* triples = nullptr;
    const uint64_t count = brimel_reference_cross(a, n_a, b, n_b, d_bytes, k, &triples);
    return to_records(triples, count);
}

}  // namespace brimel::reference
