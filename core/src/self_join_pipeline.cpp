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
    // The candidate list is the per-chunk lists back to back, in plan order. It
    // is cut into pieces by position in that list, but never copied into one
    // buffer: a piece reads the (one or more) per-chunk runs it spans, which
    // gives the same records in the same order without writing 8 bytes per
    // candidate a second time.
    std::vector<std::size_t> offset(per_chunk.size() + 1, 0);
    for (std::size_t c = 0; c < per_chunk.size(); ++c) offset[c + 1] = offset[c] + per_chunk[c].size();
    const std::size_t total = offset.back();
    if (total == 0) return {};

    const std::size_t piece = verification_piece_size(total, pool::worker_count());
    const std::size_t pieces = (total + piece - 1) / piece;
    auto verified = pool::map_indexed<std::vector<PairRecord>>(pieces, [&](std::size_t p) {
        const std::size_t begin = p * piece;
        const std::size_t end = std::min(begin + piece, total);
        // The chunk holding position `begin`: the last c with offset[c] <= begin.
        std::size_t c = static_cast<std::size_t>(std::upper_bound(offset.begin(), offset.end(), begin) -
                                                 offset.begin()) - 1;
        std::vector<PairRecord> records;
        for (std::size_t at = begin; at < end; ++c) {
            const std::size_t from = at - offset[c];
            const std::size_t count = std::min(end, offset[c + 1]) - at;
            if (count == 0) continue;
            const std::span<const CandidatePair> run(per_chunk[c].data() + from, count);
            auto part = kernel == VerifyKernel::early_exit ? verify_with_prefetch(run, data, d_bytes, k)
                                                           : verify_with_prefetch_full(run, data, d_bytes, k);
            if (records.empty()) {
                records = std::move(part);
            } else {
                records.insert(records.end(), part.begin(), part.end());
            }
            at += count;
        }
        return records;
    });
    std::vector<std::vector<CandidatePair>>().swap(per_chunk);

    std::vector<PairRecord> records = concatenate(verified);
    pool::sort(records);
    records.erase(std::unique(records.begin(), records.end()), records.end());
    return records;
}

}  // namespace brimel::detail
