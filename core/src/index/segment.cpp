// Stored segments: building the image, adopting a saved one, probing and
// verifying.
#include "segment.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

#include "../keys/code_words.hpp"
#include "../tables/key_groups.hpp"
#include "brimel/index.hpp"
#include "brimel/pool.hpp"
#include "verify.hpp"

namespace brimel::detail {
namespace {

static_assert(std::endian::native == std::endian::little, "segment images are little-endian");

constexpr std::uint64_t round64(std::uint64_t bytes) { return (bytes + 63) / 64 * 64; }

// Where each section of an image starts, from its head and part heads.
struct Layout {
    std::uint64_t codes = 0;
    std::uint64_t ids = 0;
    std::vector<std::uint64_t> directories;
    std::vector<std::uint64_t> orders;
    std::uint64_t total = 0;
};

// Sizes are checked on the way: a head whose sections would not fit in 2^62
// bytes is refused, so no sum below wraps.
bool lay_out(const SegmentHead& head, std::span<const PartHead> parts, Layout& out) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
    if (!rows_fit_ids(head.rows) || head.d_bytes == 0 ||
        head.d_bytes > kLimit / std::max<std::uint64_t>(head.rows, 1))
        return false;
    std::uint64_t at = round64(sizeof(SegmentHead) + sizeof(PartHead) * parts.size());
    out.codes = at;
    at += round64(head.rows * head.d_bytes);
    if (head.flags & kExplicitIds) {
        out.ids = at;
        at += round64(4 * head.rows);
    }
    for (const PartHead& part : parts) {
        const std::uint64_t width = std::uint64_t{part.hi} - part.lo;
        if (part.hi <= part.lo || part.hi > 8 * head.d_bytes || width > kMaxSegmentPartBits ||
            part.threshold >= width)
            return false;
        out.directories.push_back(at);
        at += round64(4 * ((std::uint64_t{1} << width) + 1));
        out.orders.push_back(at);
        at += round64(4 * head.rows);
        if (at > kLimit) return false;
    }
    out.total = at;
    return at <= kLimit;
}

}  // namespace

std::shared_ptr<std::uint8_t[]> image_buffer(std::uint64_t bytes) {
    constexpr std::uint64_t kHugePage = std::uint64_t{1} << 21;
    if (bytes < 2 * kHugePage) {
        auto words = std::make_shared_for_overwrite<std::uint64_t[]>(bytes / 8 + 1);
        return {words, reinterpret_cast<std::uint8_t*>(words.get())};
    }
    const std::uint64_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
    // Advice only: without huge pages the buffer works the same.
    (void)madvise(memory, rounded, MADV_HUGEPAGE);
    return {static_cast<std::uint8_t*>(memory), [](std::uint8_t* p) { std::free(p); }};
}

std::shared_ptr<const Segment> Segment::build(const std::uint8_t* codes, std::uint64_t rows,
                                              std::uint64_t d_bytes, std::uint32_t k,
                                              std::span<const std::uint32_t> ids, std::uint64_t base,
                                              const RunControl* control) {
    const Plan plan = segment_plan(d_bytes, k, rows);
    SegmentHead head{};
    head.rows = rows;
    head.base = ids.empty() ? base : ids.front();
    head.d_bytes = d_bytes;
    head.parts = static_cast<std::uint32_t>(plan.parts.size());
    head.flags = ids.empty() ? 0 : kExplicitIds;
    std::vector<PartHead> parts;
    for (const Part& part : plan.parts)
        parts.push_back(
            {static_cast<std::uint32_t>(part.lo), static_cast<std::uint32_t>(part.hi), part.threshold, 0});
    Layout layout;
    if (!lay_out(head, parts, layout)) panic("Segment::build: rows too large to lay out");
    head.image_bytes = layout.total;

    const std::shared_ptr<std::uint8_t[]> buffer = image_buffer(layout.total);
    std::uint8_t* image = buffer.get();
    std::memset(image, 0, layout.codes);
    std::memcpy(image, &head, sizeof head);
    if (!parts.empty()) std::memcpy(image + sizeof head, parts.data(), sizeof(PartHead) * parts.size());
    if (rows != 0) std::memcpy(image + layout.codes, codes, rows * d_bytes);
    if (!ids.empty()) std::memcpy(image + layout.ids, ids.data(), 4 * rows);
    const std::uint8_t* stored = image + layout.codes;

    // Each part: the rows' values, grouped by the radix sort the joins use
    // (rows ascend within a value; passes of at most 11 bits keep its
    // counters and write streams in cache, where one counting pass over a
    // directory of millions of entries would miss on every row), then the
    // directory from the groups. Parts are independent tasks; the key pass
    // polls `control`.
    pool::run([&] {
        (void)pool::map_indexed<char>(parts.size(), [&](std::size_t p) {
            const PartValue value(parts[p].lo, parts[p].hi, d_bytes);
            const unsigned width = parts[p].hi - parts[p].lo;
            std::vector<std::uint64_t> keys(rows);
            for (std::uint64_t r = 0; r < rows; ++r) {
                if (control != nullptr && r % (1u << 16) == 0) control->check();
                keys[r] = value(stored + r * d_bytes);
            }
            const KeyGroups groups(std::move(keys), width, false);
            auto* dir = reinterpret_cast<std::uint32_t*>(image + layout.directories[p]);
            auto* order = reinterpret_cast<std::uint32_t*>(image + layout.orders[p]);
            std::copy(groups.rows().begin(), groups.rows().end(), order);
            // dir[v]: the first slot of the rows of value v or, when there are
            // none, of the next value that has rows.
            std::uint64_t v = 0;
            for (std::size_t g = 0; g < groups.groups(); ++g)
                for (; v <= groups.key(g); ++v) dir[v] = static_cast<std::uint32_t>(groups.start(g));
            for (; v <= (std::uint64_t{1} << width); ++v) dir[v] = static_cast<std::uint32_t>(rows);
            return char{0};
        });
    });
    return adopt(std::shared_ptr<const void>(buffer, buffer.get()), {image, layout.total}, d_bytes);
}

std::vector<std::uint64_t> Segment::scan_image(const std::uint8_t* codes, std::uint64_t rows,
                                               std::uint64_t d_bytes, std::uint64_t base) {
    SegmentHead head{};
    head.rows = rows;
    head.base = base;
    head.d_bytes = d_bytes;
    Layout layout;
    if (!lay_out(head, {}, layout)) panic("Segment::scan_image: rows too large to lay out");
    head.image_bytes = layout.total;
    std::vector<std::uint64_t> image(layout.total / 8);
    auto* bytes = reinterpret_cast<std::uint8_t*>(image.data());
    std::memcpy(bytes, &head, sizeof head);
    if (rows != 0) std::memcpy(bytes + layout.codes, codes, rows * d_bytes);
    return image;
}

std::shared_ptr<const Segment> Segment::adopt(std::shared_ptr<const void> owner, ByteSpan image,
                                              std::uint64_t d_bytes) {
    const auto bad = [](const std::string& what) { throw IndexFileError("bad segment: " + what); };
    if (image.size() < sizeof(SegmentHead) || reinterpret_cast<std::uintptr_t>(image.data()) % 8 != 0)
        bad("shorter than its head");
    std::shared_ptr<Segment> segment(new Segment());
    Segment& s = *segment;
    std::memcpy(&s.head_, image.data(), sizeof(SegmentHead));
    const SegmentHead& head = s.head_;
    if (head.d_bytes != d_bytes) bad("code width differs from the file's");
    if (head.parts > kMaxSegmentParts || sizeof(SegmentHead) + sizeof(PartHead) * head.parts > image.size())
        bad("too many parts");
    std::vector<PartHead> parts(head.parts);
    if (!parts.empty())
        std::memcpy(parts.data(), image.data() + sizeof(SegmentHead), sizeof(PartHead) * parts.size());
    Layout layout;
    if ((head.flags & ~kExplicitIds) != 0 || !lay_out(head, parts, layout) ||
        layout.total != head.image_bytes || layout.total != image.size())
        bad("head does not match its size");
    if (!(head.flags & kExplicitIds) && head.base + head.rows > kMaxRows + 1) bad("ids past the row limit");
    s.owner_ = std::move(owner);
    s.image_ = image;
    s.codes_at_ = layout.codes;
    if (head.flags & kExplicitIds) s.ids_ = reinterpret_cast<const std::uint32_t*>(image.data() + layout.ids);
    s.plan_.name = parts.empty() ? "scan" : "segment";
    for (std::size_t p = 0; p < parts.size(); ++p) {
        Part part;
        part.lo = parts[p].lo;
        part.hi = parts[p].hi;
        part.threshold = parts[p].threshold;
        s.plan_.parts.push_back(part);
        s.keys_.emplace_back(part, d_bytes);
        s.probes_.emplace_back(s.keys_.back());
        s.values_.emplace_back(parts[p].lo, parts[p].hi, d_bytes);
        s.directories_.push_back(
            reinterpret_cast<const std::uint32_t*>(image.data() + layout.directories[p]));
        s.orders_.push_back(reinterpret_cast<const std::uint32_t*>(image.data() + layout.orders[p]));
        s.heavy_.add_part(
            {s.directories_.back(), std::uint64_t{1} << part.width(), static_cast<std::uint32_t>(head.rows)});
        s.k_ += parts[p].threshold + (p == 0 ? 0 : 1);
    }
    return segment;
}

void Segment::query(const std::uint8_t* row, std::uint32_t k, const RemovedRows& removed,
                    std::vector<QueryHit>& out) const {
    const auto rows = static_cast<std::uint32_t>(head_.rows);
    const std::uint64_t d = head_.d_bytes;
    const std::uint8_t* stored = codes();
    struct Listed {
        const std::uint32_t* first;  // into an order, or the directory entry before it is read
        std::uint32_t count;
        std::uint32_t part;
    };
    // Per-thread buffers: queries from several threads may read one segment.
    thread_local std::vector<Listed> probes;
    thread_local std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // (local row, part)
    probes.clear();
    found.clear();
    if (keys_.empty()) {
        for (std::uint32_t r = 0; r < rows; ++r) found.emplace_back(r, 0);
    } else {
        for (std::size_t p = 0; p < keys_.size(); ++p) {
            const std::uint32_t* dir = directories_[p];
            probes_[p].for_each_key(values_[p](row), [&](std::uint64_t value) {
                __builtin_prefetch(dir + value);
                probes.push_back({dir + value, 0, static_cast<std::uint32_t>(p)});
            });
        }
        std::size_t ranges = 0;
        thread_local std::vector<std::uint64_t> ranges_values;  // the value of each range
        ranges_values.clear();
        for (const Listed& probe : probes) {
            const std::uint32_t end = std::min(probe.first[1], rows);
            const std::uint32_t begin = std::min(probe.first[0], end);
            if (begin == end) continue;
            const std::uint32_t* order = orders_[probe.part] + begin;
            __builtin_prefetch(order);
            ranges_values.push_back(static_cast<std::uint64_t>(probe.first - directories_[probe.part]));
            probes[ranges++] = {order, end - begin, probe.part};
        }
        thread_local std::vector<std::uint32_t> from_sub;
        for (std::size_t r = 0; r < ranges; ++r) {
            std::span<const std::uint32_t> listed(probes[r].first, probes[r].count);
            const std::uint32_t p = probes[r].part;
            if (listed.size() > kHeavyRows) {
                const std::uint64_t value = ranges_values[r];
                if (const SubIndex* sub =
                        heavy_.find(p, value, listed, plan_.parts[p], nullptr, k_, stored, d)) {
                    from_sub.clear();
                    sub->candidates(row, stored, from_sub);
                    listed = from_sub;
                }
            }
            for (const std::uint32_t local : listed) {
                if (local >= rows) continue;  // only a corrupted image lists such a row
                found.emplace_back(local, p);
            }
        }
    }
    verify_gathered(
        found.size(), d, row, k, [&](std::size_t c) { return stored + std::uint64_t{found[c].first} * d; },
        [&](std::size_t c, std::uint32_t dist) {
            const auto [local, part] = found[c];
            if (is_removed(removed, local)) return;
            if (part != 0 && !first_near_part(keys_, part, row, stored + std::uint64_t{local} * d)) return;
            out.push_back({id(local), dist});
        });
}

void scan_rows(const std::uint8_t* codes, std::uint64_t rows, std::uint64_t d_bytes, std::uint64_t first_id,
               const std::uint8_t* row, std::uint32_t k, const RemovedRows& removed,
               std::vector<QueryHit>& out) {
    verify_gathered(
        rows, d_bytes, row, k, [&](std::size_t r) { return codes + r * d_bytes; },
        [&](std::size_t r, std::uint32_t dist) {
            if (!is_removed(removed, r)) out.push_back({static_cast<std::uint32_t>(first_id + r), dist});
        });
}

}  // namespace brimel::detail
