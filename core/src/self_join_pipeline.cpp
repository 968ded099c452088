#include "self_join_pipeline.hpp"

#include <algorithm>
#include <numeric>
#include <span>

#include "brimel/errors.hpp"
#include "brimel/pool.hpp"
#include "brimel/verify.hpp"

namespace brimel::detail {
namespace {

// Concatenates owned lists in list order into one list allocated once at its
// exact length, releasing each part as soon as it is copied.
template <class T>
std::vector<T> concatenate(std::vector<std::vector<T>>& parts) {
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::vector<T> all;
    all.reserve(total);
    for (auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
        std::vector<T>().swap(part);
    }
    return all;
}

}  // namespace

void check_self_join_input(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes) {
    assert_equal(data.size(), n * d_bytes, "data length mismatch");
    if (n > kMaxRows) panic("n exceeds u32::MAX");
}

std::size_t verification_piece_size(std::size_t candidates, std::size_t workers) {
    return std::max<std::size_t>(candidates / (4 * std::max<std::size_t>(workers, 1)), 1024);
}

std::vector<PairRecord> verify_sort_dedup(std::vector<std::vector<CandidatePair>> per_chunk,
                                          ByteSpan data, std::uint64_t d_bytes, std::uint32_t k,
                                          VerifyKernel kernel) {
    const bool any = std::any_of(per_chunk.begin(), per_chunk.end(),
                                 [](const auto& list) { return !list.empty(); });
    if (!any) return {};
    const std::vector<CandidatePair> candidates = concatenate(per_chunk);

    const std::size_t piece = verification_piece_size(candidates.size(), pool::worker_count());
    const std::size_t pieces = (candidates.size() + piece - 1) / piece;
    const std::span<const CandidatePair> all(candidates);
    auto verified = pool::map_indexed<std::vector<PairRecord>>(pieces, [&](std::size_t p) {
        const auto run = all.subspan(p * piece, std::min(piece, all.size() - p * piece));
        return kernel == VerifyKernel::early_exit ? verify_with_prefetch(run, data, d_bytes, k)
                                                  : verify_with_prefetch_full(run, data, d_bytes, k);
    });

    std::vector<PairRecord> records = concatenate(verified);
    pool::sort(records);
    records.erase(std::unique(records.begin(), records.end()), records.end());
    return records;
}

}  // namespace brimel::detail
