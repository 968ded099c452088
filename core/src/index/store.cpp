// The store of an Index or a Bank: appending, tiers and merges, removal,
// queries and persistence.
#include "store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <oneapi/tbb/parallel_sort.h>

#include "brimel/errors.hpp"
#include "brimel/pool.hpp"
#include "brimel/run_control.hpp"
#include "index_file.hpp"

namespace brimel::detail {
namespace {

const RemovedRows kNoneRemoved;

const RemovedRows& removed_of(const std::shared_ptr<const RemovedRows>& removed) {
    return removed ? *removed : kNoneRemoved;
}

// Words of a removed-rows bitmap of `rows` rows: a multiple of 8, so that
// its section of a file fills whole 64-byte blocks.
std::uint64_t removed_words(std::uint64_t rows) { return ((rows + 63) / 64 + 7) / 8 * 8; }

// Keying a segment allocates and frees working arrays of 16 bytes per row;
// glibc keeps freed blocks below its mmap threshold in the heap, where they
// would stay resident beside the bank. Hands them back to the system.
void give_back_freed_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void poll(const RunControl* control) {
    if (control != nullptr) control->check();
}

}  // namespace

Store::Store(std::uint64_t d_bytes, std::uint32_t k, std::uint32_t max_rows, const StoreTuning& tuning)
    : d_bytes_(d_bytes), k_(k), max_rows_(max_rows), tuning_(tuning) {
    // About 1 MiB of codes, so that scanning the tail costs a query some
    // microseconds; at most 4096 rows.
    if (tuning_.tail_rows == 0) tuning_.tail_rows = std::clamp<std::uint64_t>((1u << 20) / d_bytes, 16, 4096);
    tuning_.merge_factor = std::max<std::uint32_t>(tuning_.merge_factor, 2);
    if (tuning_.batch_rows == 0) tuning_.batch_rows = std::uint64_t{1} << 16;
    if (tuning_.batch_queries == 0) tuning_.batch_queries = 32;
}

std::shared_ptr<TailBlock> Store::new_tail() const {
    auto block = std::make_shared<TailBlock>();
    block->codes = std::make_unique_for_overwrite<std::uint8_t[]>(tuning_.tail_rows * d_bytes_);
    block->capacity = tuning_.tail_rows;
    return block;
}

// Keys the tail's rows (its live ones) into a segment and starts an empty
// tail; the old block stays with any copy that still reads it.
void Store::freeze_tail() {
    if (tail_rows_ == 0) return;
    const RemovedRows& removed = removed_of(tail_removed_);
    StoredSegment stored;
    if (removed.empty()) {
        stored.segment = Segment::build(tail_->codes.get(), tail_rows_, d_bytes_, k_, {}, tail_base_);
    } else {
        std::vector<std::uint8_t> codes;
        std::vector<std::uint32_t> ids;
        for (std::uint64_t r = 0; r < tail_rows_; ++r) {
            if (is_removed(removed, r)) continue;
            codes.insert(codes.end(), tail_->codes.get() + r * d_bytes_,
                         tail_->codes.get() + (r + 1) * d_bytes_);
            ids.push_back(static_cast<std::uint32_t>(tail_base_ + r));
        }
        if (!ids.empty()) stored.segment = Segment::build(codes.data(), ids.size(), d_bytes_, k_, ids, 0);
    }
    if (stored.segment) {
        stored.live = stored.segment->rows();
        segments_.push_back(std::move(stored));
    }
    tail_.reset();
    tail_rows_ = 0;
    tail_base_ = next_id_;
    tail_removed_.reset();
}

void Store::append(ByteSpan rows, const RunControl* control) {
    const std::uint64_t m = rows.size() / d_bytes_;
    if (m == 0) return;
    // Rows that fit the tail's room go there in place: nothing can fail.
    if (tail_ && tail_rows_ + m <= tail_->capacity) {
        std::memcpy(tail_->codes.get() + tail_rows_ * d_bytes_, rows.data(), rows.size());
        tail_rows_ += m;
        next_id_ += m;
        live_ += m;
        return;
    }
    // Otherwise on a copy, swapped in when complete.
    Store next = *this;
    if (m >= tuning_.tail_rows) {
        // One segment of the tail's rows and the batch, keyed from one copy
        // (a tail with removed rows is keyed alone first).
        if (next.tail_removed_) next.freeze_tail();
        std::vector<std::uint8_t> joined;
        ByteSpan codes = rows;
        if (next.tail_rows_ != 0) {
            joined.reserve(next.tail_rows_ * d_bytes_ + rows.size());
            joined.insert(joined.end(), next.tail_->codes.get(),
                          next.tail_->codes.get() + next.tail_rows_ * d_bytes_);
            joined.insert(joined.end(), rows.begin(), rows.end());
            codes = joined;
        }
        poll(control);
        StoredSegment stored;
        stored.segment =
            Segment::build(codes.data(), codes.size() / d_bytes_, d_bytes_, k_, {}, next.tail_base_, control);
        stored.live = stored.segment->rows();
        next.segments_.push_back(std::move(stored));
        next.next_id_ += m;
        next.live_ += m;
        next.tail_.reset();
        next.tail_rows_ = 0;
        next.tail_base_ = next.next_id_;
        next.tail_removed_.reset();
    } else {
        for (std::uint64_t r = 0; r < m;) {
            if (!next.tail_) next.tail_ = new_tail();
            const std::uint64_t take = std::min(m - r, next.tail_->capacity - next.tail_rows_);
            std::memcpy(next.tail_->codes.get() + next.tail_rows_ * d_bytes_, rows.data() + r * d_bytes_,
                        take * d_bytes_);
            next.tail_rows_ += take;
            next.next_id_ += take;
            next.live_ += take;
            r += take;
            if (next.tail_rows_ == next.tail_->capacity) {
                poll(control);
                next.freeze_tail();
            }
        }
    }
    next.merge_tiers(control);
    *this = std::move(next);
    give_back_freed_memory();
}

void Store::compact(const RunControl* control) {
    if (segments_.empty() || (segments_.size() == 1 && segments_[0].live == segments_[0].segment->rows()))
        return;
    Store next = *this;
    StoredSegment merged_segment = merged(next.segments_, control);
    next.segments_.clear();
    if (merged_segment.segment) next.segments_.push_back(std::move(merged_segment));
    *this = std::move(next);
    give_back_freed_memory();
}

// Tier of a segment of `rows` rows: 0 below tail_rows * F, then one more for
// each factor F.
namespace {
std::uint32_t tier_of(std::uint64_t rows, std::uint64_t tail_rows, std::uint32_t factor) {
    std::uint32_t tier = 0;
    for (std::uint64_t size = rows / tail_rows; size >= factor; size /= factor) ++tier;
    return tier;
}
}  // namespace

void Store::merge_tiers(const RunControl* control) {
    const std::uint32_t factor = tuning_.merge_factor;
    for (;;) {
        // Segments are kept in order of their ids and merged only with their
        // neighbours, so that a merge of rows never removed keeps its ids
        // gapless (no id array). In turn: a segment mostly removed is keyed
        // again alone; F neighbours of one tier become one; and when rows
        // added in mixed sizes leave more segments than F per tier, the two
        // smallest neighbours are merged, which bounds the probes per query.
        std::size_t first = segments_.size(), count = 0;
        for (std::size_t s = 0; s < segments_.size() && count == 0; ++s)
            if (segments_[s].live * 2 < segments_[s].segment->rows()) first = s, count = 1;
        std::uint32_t top = 0;
        for (std::size_t s = 0; s < segments_.size() && count == 0; ++s) {
            const std::uint32_t tier = tier_of(segments_[s].live, tuning_.tail_rows, factor);
            top = std::max(top, tier);
            std::size_t run = 1;
            while (run < factor && s + run < segments_.size() &&
                   tier_of(segments_[s + run].live, tuning_.tail_rows, factor) == tier)
                ++run;
            if (run == factor) first = s, count = factor;
        }
        if (count == 0 && segments_.size() > std::size_t{factor} * (top + 2)) {
            std::uint64_t smallest = ~std::uint64_t{0};
            for (std::size_t s = 0; s + 1 < segments_.size(); ++s)
                if (segments_[s].live + segments_[s + 1].live < smallest)
                    smallest = segments_[s].live + segments_[s + 1].live, first = s, count = 2;
        }
        if (count == 0) return;
        poll(control);
        const auto from = segments_.begin() + static_cast<std::ptrdiff_t>(first);
        StoredSegment merged_segment = merged({segments_.data() + first, count}, control);
        segments_.erase(from, from + static_cast<std::ptrdiff_t>(count));
        if (merged_segment.segment)
            segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(first),
                             std::move(merged_segment));
    }
}

// The live rows of `parts` (neighbours, in id order) in one segment, ids
// ascending: their rows in turn; ids are implicit when they run without a
// gap.
StoredSegment Store::merged(std::span<const StoredSegment> parts, const RunControl* control) const {
    std::uint64_t total = 0;
    for (const StoredSegment& part : parts) total += part.live;
    std::vector<std::uint8_t> codes(total * d_bytes_);
    std::vector<std::uint32_t> ids(total);
    std::uint64_t out = 0;
    for (const StoredSegment& part : parts) {
        const Segment& from = *part.segment;
        const RemovedRows& removed = removed_of(part.removed);
        for (std::uint64_t r = 0; r < from.rows(); ++r) {
            if (is_removed(removed, r)) continue;
            ids[out] = from.id(r);
            std::memcpy(codes.data() + out * d_bytes_, from.codes() + r * d_bytes_, d_bytes_);
            ++out;
        }
    }
    StoredSegment stored;
    if (total == 0) return stored;
    const bool gapless = std::uint64_t{ids.back()} - ids.front() + 1 == total;
    stored.segment =
        Segment::build(codes.data(), total, d_bytes_, k_,
                       gapless ? std::span<const std::uint32_t>{} : std::span<const std::uint32_t>(ids),
                       ids.front(), control);
    stored.live = total;
    return stored;
}

std::uint64_t Store::remove(std::span<const std::uint64_t> ids) {
    Store next = *this;
    // Copies of the removed-rows bitmaps that this call changes, made once
    // each: the published ones are shared with readers.
    std::vector<std::shared_ptr<RemovedRows>> changed(next.segments_.size());
    std::shared_ptr<RemovedRows> tail_changed;
    const auto mark = [](std::shared_ptr<RemovedRows>& bits,
                         const std::shared_ptr<const RemovedRows>& current, std::uint64_t rows,
                         std::uint64_t r) {
        if (!bits)
            bits = std::make_shared<RemovedRows>(current ? *current : RemovedRows(removed_words(rows), 0));
        std::uint64_t& word = (*bits)[r >> 6];
        const bool was = ((word >> (r & 63)) & 1) != 0;
        word |= std::uint64_t{1} << (r & 63);
        return !was;
    };
    std::uint64_t count = 0;
    for (const std::uint64_t id : ids) {
        if (id >= next.tail_base_) {
            if (id < next.tail_base_ + next.tail_rows_ &&
                mark(tail_changed, next.tail_removed_, next.tail_->capacity, id - next.tail_base_))
                ++count;
            continue;
        }
        // The segment holding id: segments lie in id order without overlap
        // and ids ascend within each, so the last segment starting at or
        // before id, then its row.
        const auto after = std::upper_bound(
            next.segments_.begin(), next.segments_.end(), id,
            [](std::uint64_t wanted, const StoredSegment& stored) { return wanted < stored.segment->id(0); });
        if (after == next.segments_.begin()) continue;
        const auto s = static_cast<std::size_t>(after - next.segments_.begin()) - 1;
        const Segment& segment = *next.segments_[s].segment;
        std::uint64_t lo = 0, hi = segment.rows();
        while (lo < hi) {
            const std::uint64_t mid = (lo + hi) / 2;
            if (segment.id(mid) < id)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == segment.rows() || segment.id(lo) != id) continue;
        if (mark(changed[s], next.segments_[s].removed, segment.rows(), lo)) {
            ++count;
            --next.segments_[s].live;
        }
    }
    for (std::size_t s = 0; s < changed.size(); ++s)
        if (changed[s]) next.segments_[s].removed = std::move(changed[s]);
    if (tail_changed) next.tail_removed_ = std::move(tail_changed);
    next.live_ -= count;
    next.merge_tiers(nullptr);
    *this = std::move(next);
    return count;
}

bool Store::batched(const Segment& segment, std::uint64_t queries) const {
    return !segment.plan().parts.empty() && segment.rows() >= tuning_.batch_rows &&
           queries >= tuning_.batch_queries;
}

void Store::query_into(const std::uint8_t* row, std::uint32_t k, std::uint64_t batch_rows,
                       std::vector<QueryHit>& hits) const {
    for (const StoredSegment& stored : segments_)
        if (batch_rows == 0 || !batched(*stored.segment, batch_rows))
            stored.segment->query(row, k, removed_of(stored.removed), hits);
    if (tail_rows_ != 0)
        scan_rows(tail_->codes.get(), tail_rows_, d_bytes_, tail_base_, row, k, removed_of(tail_removed_),
                  hits);
    std::sort(hits.begin(), hits.end(), [](const QueryHit& a, const QueryHit& b) { return a.id < b.id; });
}

std::vector<QueryHit> Store::query(const std::uint8_t* row, std::uint32_t k) const {
    std::vector<QueryHit> hits;
    query_into(row, k, 0, hits);
    return hits;
}

std::vector<PairRecord> Store::query_batch(ByteSpan rows, std::uint32_t k, const RunControl* control) const {
    const std::uint64_t m = rows.size() / d_bytes_;
    if (live_ == 0 || m == 0) return {};
    // Large segments answer all the queries at once, one after another, each
    // on the whole pool; the rest (small segments and the tail) query by
    // query. Blocks of kBlockRows query rows are the pool's units there:
    // enough of them to balance the workers, each long enough to amortise a
    // task. A block's hits come out sorted by (row, id).
    constexpr std::uint64_t kBlockRows = 64;
    const std::size_t blocks = static_cast<std::size_t>((m + kBlockRows - 1) / kBlockRows);
    bool any_batched = false;
    for (const StoredSegment& stored : segments_) any_batched |= batched(*stored.segment, m);
    std::vector<std::vector<PairRecord>> found;
    pool::run([&] {
        found = pool::map_indexed<std::vector<PairRecord>>(blocks, [&](std::size_t b) {
            poll(control);
            std::vector<PairRecord> hits;
            std::vector<QueryHit> row_hits;
            const std::uint64_t end = std::min(m, (b + 1) * kBlockRows);
            for (std::uint64_t r = b * kBlockRows; r < end; ++r) {
                row_hits.clear();
                query_into(rows.data() + r * d_bytes_, k, m, row_hits);
                for (const QueryHit& hit : row_hits)
                    hits.push_back({static_cast<std::uint32_t>(r), hit.id, hit.dist});
            }
            return hits;
        });
        for (const StoredSegment& stored : segments_)
            if (batched(*stored.segment, m)) {
                found.emplace_back();
                stored.segment->query_batch(rows.data(), m, k, removed_of(stored.removed), control,
                                            found.back());
            }
    });
    std::size_t total = 0;
    for (const auto& block : found) total += block.size();
    std::vector<PairRecord> records;
    records.reserve(total);
    for (auto& block : found) {
        records.insert(records.end(), block.begin(), block.end());
        std::vector<PairRecord>().swap(block);
    }
    // The batched segments' records come unordered; a flood of hits can be
    // millions of them.
    if (any_batched) pool::run([&] { oneapi::tbb::parallel_sort(records.begin(), records.end()); });
    return records;
}

// ---- persistence ------------------------------------------------------------

// What a save writes: the segments' images as they are, and the tail's rows
// as a segment with no parts, built for the save (kept here so that the
// spans stay valid while the file is written).
struct Store::Saved {
    SavedIndex index;
    std::vector<std::uint64_t> tail_image;
    std::vector<std::uint64_t> tail_removed;
};

Store::Saved Store::saved_parts() const {
    Saved saved;
    saved.index.d_bytes = d_bytes_;
    saved.index.k = k_;
    saved.index.next_id = next_id_;
    const auto bytes_of = [](const std::vector<std::uint64_t>& words) {
        return ByteSpan(reinterpret_cast<const std::uint8_t*>(words.data()), 8 * words.size());
    };
    for (const StoredSegment& stored : segments_)
        saved.index.segments.push_back(
            {stored.segment->image(), stored.removed ? bytes_of(*stored.removed) : ByteSpan{}, stored.live});
    if (tail_rows_ != 0) {
        saved.tail_image = Segment::scan_image(tail_->codes.get(), tail_rows_, d_bytes_, tail_base_);
        if (tail_removed_)
            saved.tail_removed.assign(
                tail_removed_->begin(),
                tail_removed_->begin() + static_cast<std::ptrdiff_t>(removed_words(tail_rows_)));
        std::uint64_t live = tail_rows_;
        for (std::uint64_t r = 0; r < tail_rows_; ++r) live -= is_removed(saved.tail_removed, r);
        saved.index.segments.push_back({bytes_of(saved.tail_image), bytes_of(saved.tail_removed), live});
    }
    return saved;
}

std::uint64_t Store::saved_size() const { return encoded_size(saved_parts().index); }

void Store::save(const std::string& path) const { write_index_file(path, saved_parts().index); }

void Store::save_to(std::span<std::uint8_t> out) const { encode(saved_parts().index, out); }

namespace {

// Refuses a d_bytes and k that Index::create (`chunked`) or Bank would.
void check_shape(std::uint64_t d_bytes, std::uint32_t k, bool chunked) {
    // 8 * d_bytes must not wrap: no real code is anywhere near 2^56 bytes.
    if (d_bytes > (std::uint64_t{1} << 56))
        throw IndexFileError("bad header: d_bytes (" + std::to_string(d_bytes) + ") is too large");
    if (8 * d_bytes <= k)
        throw IndexFileError("bad header: k (" + std::to_string(k) + ") must be < 8*d_bytes (" +
                             std::to_string(8 * d_bytes) + ")");
    if (chunked && !chunk_fits_key(widest_bit_chunk(d_bytes, k)))
        throw IndexFileError("bad header: k (" + std::to_string(k) + ") at d_bytes " +
                             std::to_string(d_bytes) + " makes a bit chunk wider than 128 bits");
}

Store from_saved(const SavedIndex& saved, bool chunked) {
    check_shape(saved.d_bytes, saved.k, chunked);
    Store store(saved.d_bytes, saved.k, static_cast<std::uint32_t>(kMaxRows), {});
    if (saved.segments.empty()) {
        // An earlier format's codes: keyed now, in one segment.
        store.append(saved.codes, nullptr);
        return store;
    }
    return Store::adopted(saved, std::move(store));
}

}  // namespace

Store Store::adopted(const SavedIndex& saved, Store&& empty) {
    Store store = std::move(empty);
    std::uint64_t live = 0;
    for (const SavedSegment& s : saved.segments) {
        StoredSegment stored;
        stored.segment = Segment::adopt(saved.owner, s.image, saved.d_bytes);
        const std::uint64_t rows = stored.segment->rows();
        if (rows == 0) throw IndexFileError("bad segment: no rows");
        const std::uint64_t last = stored.segment->id(rows - 1);
        if (last >= saved.next_id ||
            (stored.segment->explicit_ids() && rows > 1 && stored.segment->id(0) > last))
            throw IndexFileError("bad segment: ids past the ids issued");
        // Segments lie in id order without overlap (removal searches them so).
        if (!store.segments_.empty() &&
            stored.segment->id(0) <=
                store.segments_.back().segment->id(store.segments_.back().segment->rows() - 1))
            throw IndexFileError("bad segment: ids out of order");
        if (!s.removed.empty()) {
            if (s.removed.size() != 8 * removed_words(rows))
                throw IndexFileError("bad segment: removed rows do not match its rows");
            auto removed = std::make_shared<RemovedRows>(s.removed.size() / 8);
            std::memcpy(removed->data(), s.removed.data(), s.removed.size());
            std::uint64_t gone = 0;
            for (const std::uint64_t word : *removed) gone += static_cast<std::uint64_t>(std::popcount(word));
            if (gone > rows || rows - gone != s.live)
                throw IndexFileError("bad segment: live rows do not match");
            stored.removed = std::move(removed);
        } else if (s.live != rows) {
            throw IndexFileError("bad segment: live rows do not match");
        }
        stored.live = s.live;
        live += s.live;
        store.segments_.push_back(std::move(stored));
    }
    store.next_id_ = saved.next_id;
    store.live_ = live;
    store.tail_base_ = saved.next_id;
    return store;
}

Store Store::load(const std::string& path, bool map, bool chunked) {
    return from_saved(read_index_file(path, map), chunked);
}

Store Store::from_bytes(ByteSpan bytes, bool chunked) {
    return from_saved(decode_index_bytes(bytes), chunked);
}

}  // namespace brimel::detail
