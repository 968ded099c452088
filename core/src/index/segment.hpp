// A stored segment: an immutable run of codes keyed on its own plan, laid out
// in one image that is the same in memory and in a file, so that a saved
// segment is mapped back and answers queries as it is.
//
// Per part p (bits [lo, hi), threshold t_p, width w = hi - lo <= 26), the
// rows grouped by their value on the part (PartValue), in value order: a
// directory of 2^w + 1 offsets (u32) and the local rows in that order (u32,
// ascending within a value), built by the joins' radix grouping. A query looks up its own value
// and every value within t_p of it (PartProbe) and verifies each listed row
// on the first part where it is near. A segment whose plan is the scan lists
// nothing: every row is verified.
//
// Image layout (little-endian; every section starts at a multiple of 64
// bytes from the image's start, which is itself 64-byte aligned):
//   SegmentHead (64 bytes), then one PartHead (16 bytes) per part
//   codes   rows * d_bytes   local row r at r * d_bytes
//   ids     rows * 4         only when kExplicitIds: the id of each local row,
//                            ascending; otherwise local row r has id base + r
//   per part: directory (2^w + 1) * 4, then order rows * 4
// The layout follows from the head alone; a reader checks the head against
// the image size and never reads outside the image, whatever the sections
// hold (offsets and rows out of range are skipped), so a corrupted body
// gives wrong answers but never a crash.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "../keys/part_keys.hpp"
#include "../keys/part_probe.hpp"
#include "brimel/plan.hpp"
#include "brimel/run_control.hpp"
#include "brimel/types.hpp"
#include "sub_index.hpp"

namespace brimel::detail {

struct SegmentHead {
    std::uint64_t rows;
    std::uint64_t base;  // id of local row 0 when ids are implicit
    std::uint64_t d_bytes;
    std::uint64_t image_bytes;
    std::uint32_t parts;
    std::uint32_t flags;
    std::uint64_t reserved[3];
};
static_assert(sizeof(SegmentHead) == 64);

struct PartHead {
    std::uint32_t lo;
    std::uint32_t hi;
    std::uint32_t threshold;
    std::uint32_t reserved;
};
static_assert(sizeof(PartHead) == 16);

inline constexpr std::uint32_t kExplicitIds = 1;

// The value of part [lo, hi) of a row, the key of its directory: the part's
// bits in order, bit lo the most significant (bit p is the bit of weight
// 2^(7 - p mod 8) of byte p / 8). Fixed by the file format: one unaligned
// big-endian load, a shift and a mask.
class PartValue {
public:
    PartValue(std::uint64_t lo, std::uint64_t hi, std::uint64_t d_bytes)
        : byte_(lo / 8),
          shift_(static_cast<unsigned>(lo % 8)),
          width_(static_cast<unsigned>(hi - lo)),
          room_(static_cast<std::size_t>(std::min<std::uint64_t>(8, d_bytes - lo / 8))) {}

    std::uint64_t operator()(const std::uint8_t* row) const noexcept {
        std::uint64_t word = 0;
        if (room_ == 8) [[likely]] {
            std::memcpy(&word, row + byte_, 8);
        } else {
            std::memcpy(&word, row + byte_, room_);
        }
        return (__builtin_bswap64(word) << shift_) >> (64 - width_);
    }

private:
    std::uint64_t byte_;
    unsigned shift_;
    unsigned width_;  // 1 .. kMaxSegmentPartBits, so shift_ + width_ <= 33
    std::size_t room_;
};

// `bytes` of uninitialised writable memory, 8-byte aligned, for a
// segment image or a file read whole. Buffers of 4 MiB or more start on a
// 2 MiB boundary and are marked for transparent huge pages: a query reads
// codes and tables at random over the whole image, and with 4 KiB pages
// nearly every such read also misses the TLB. Throws std::bad_alloc.
std::shared_ptr<std::uint8_t[]> image_buffer(std::uint64_t bytes);

// Bit r set: local row r is removed. Empty: none is.
using RemovedRows = std::vector<std::uint64_t>;

inline bool is_removed(const RemovedRows& removed, std::uint64_t r) {
    return !removed.empty() && ((removed[r >> 6] >> (r & 63)) & 1) != 0;
}

class Segment {
public:
    // Keys rows 0 .. rows - 1 of `codes` (back to back) on
    // segment_plan(d_bytes, k, rows). Their ids are `ids` (ascending, one per
    // row) or, when `ids` is empty, base, base + 1, ... The parts are keyed
    // in parallel on the worker pool, polling `control` (Cancelled) every
    // 2^16 rows.
    static std::shared_ptr<const Segment> build(const std::uint8_t* codes, std::uint64_t rows,
                                                std::uint64_t d_bytes, std::uint32_t k,
                                                std::span<const std::uint32_t> ids, std::uint64_t base,
                                                const RunControl* control = nullptr);

    // A segment over an image held by `owner` (a mapping or a buffer),
    // checked as the layout above says. Throws IndexFileError naming what is
    // wrong.
    static std::shared_ptr<const Segment> adopt(std::shared_ptr<const void> owner, ByteSpan image,
                                                std::uint64_t d_bytes);

    // The image of a segment of `rows` codes with no parts (the scan), for a
    // run of rows that has not been keyed yet.
    static std::vector<std::uint64_t> scan_image(const std::uint8_t* codes, std::uint64_t rows,
                                                 std::uint64_t d_bytes, std::uint64_t base);

    std::uint64_t rows() const noexcept { return head_.rows; }
    std::uint64_t d_bytes() const noexcept { return head_.d_bytes; }
    ByteSpan image() const noexcept { return image_; }
    const std::uint8_t* codes() const noexcept { return image_.data() + codes_at_; }
    std::uint32_t id(std::uint64_t local) const noexcept {
        return ids_ ? ids_[local] : static_cast<std::uint32_t>(head_.base + local);
    }
    bool explicit_ids() const noexcept { return ids_ != nullptr; }
    std::uint64_t base() const noexcept { return head_.base; }
    const Plan& plan() const noexcept { return plan_; }

    // Appends (id, dist) to `out` for every row within k (at most the k the
    // segment was keyed for) of `row` that `removed` does not mark, each
    // once, unordered. The rows listed under `row`'s value or a value within
    // a part's threshold of it (every row, with no part) are gathered in
    // passes that prefetch what the next one reads (directory entries, then
    // listed rows, then codes a few rows ahead), since each is a cache miss
    // in a large segment; all are verified in tiles, and a hit found on part p
    // is kept only when p is the first part where it is near.
    void query(const std::uint8_t* row, std::uint32_t k, const RemovedRows& removed,
               std::vector<QueryHit>& out) const;

    // The same, for a segment with parts (the store searches a scanned one
    // query by query), for each of the m query rows at `queries` (back to back),
    // appended as pair records (query index, id, dist), unordered: part by
    // part, the probes of all queries sorted by value, so that the tables
    // are read in order and each listed row is gathered once for every query
    // probing its value. Runs on the worker pool (call it inside
    // pool::run); polls `control` between parts and tasks (Cancelled).
    // Memory: 16 bytes per probe, up to one probe per 32 bytes of the image
    // at a time (at most half the image; 16 MiB to 512 MiB).
    void query_batch(const std::uint8_t* queries, std::uint64_t m, std::uint32_t k,
                     const RemovedRows& removed, const RunControl* control,
                     std::vector<PairRecord>& out) const;

private:
    Segment() = default;
    void index_sections();

    std::shared_ptr<const void> owner_;
    ByteSpan image_;
    SegmentHead head_{};
    Plan plan_;
    std::vector<PartKeys> keys_;  // for the first-part rule (near)
    std::vector<PartValue> values_;
    std::vector<PartProbe> probes_;
    std::uint64_t codes_at_ = 0;
    const std::uint32_t* ids_ = nullptr;
    std::vector<const std::uint32_t*> directories_;
    std::vector<const std::uint32_t*> orders_;
    std::uint32_t k_ = 0;  // the bound the plan covers: sum(t_p + 1) - 1
    HeavyLists heavy_;
};

// All rows of `codes` (rows of d_bytes bytes) within k of `row`, as
// (first_id + r, dist), skipping r set in `removed`.
void scan_rows(const std::uint8_t* codes, std::uint64_t rows, std::uint64_t d_bytes, std::uint64_t first_id,
               const std::uint8_t* row, std::uint32_t k, const RemovedRows& removed,
               std::vector<QueryHit>& out);

}  // namespace brimel::detail
