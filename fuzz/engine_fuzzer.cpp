// libFuzzer harness for the engine: the input decides the width, k and the rows
// (fresh bytes, or an earlier row with a few bits flipped), and every join, plan
// and Index query is compared with the brute-force reference; a mismatch aborts
// with the case printed. scripts/fuzz.sh builds it with clang's sanitizers; with
// BRIMEL_FUZZ_REPLAY (CTest) a main() replays a corpus and generated inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <tuple>
#include <vector>

#include "../core/src/joins/tile_join.hpp"
#include "brimel/bit_plan.hpp"
#include "brimel/cross_join.hpp"
#include "brimel/entropy.hpp"
#include "brimel/index.hpp"
#include "brimel/kernels.hpp"
#include "brimel/pairs.hpp"
#include "brimel/self_join.hpp"
#include "brute_force.hpp"

namespace brimel {
namespace {

constexpr std::uint64_t kMaxWidth = 80;  // bytes
constexpr std::uint64_t kMaxRows = 64;

// Reads the input front to back; past its end, a fixed pseudo-random stream
// (so that short inputs give varied rows rather than equal ones, whose
// candidates would be all pairs).
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() {
        if (pos_ < size_) return data_[pos_++];
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint8_t>(state_ >> 56);
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// n rows of d_bytes: each either fresh input bytes, or a copy of an earlier row
// with 0 to max_flips input-chosen bits flipped.
std::vector<std::uint8_t> make_rows(Input& in, std::uint64_t n, std::uint64_t d_bytes,
                                    unsigned max_flips = 7) {
    std::vector<std::uint8_t> rows(n * d_bytes);
    for (std::uint64_t r = 0; r < n; ++r) {
        std::uint8_t* row = rows.data() + r * d_bytes;
        const std::uint8_t control = in.byte();
        if (r > 0 && control % 4 != 0) {
            const std::uint8_t* source = rows.data() + (in.byte() % r) * d_bytes;
            std::copy(source, source + d_bytes, row);
            for (unsigned f = 0; f < (control >> 2) % (max_flips + 1); ++f) {
                const std::uint64_t bit = in.u16() % (8 * d_bytes);
                row[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
            }
        } else {
            for (std::uint64_t t = 0; t < d_bytes; ++t) row[t] = in.byte();
        }
    }
    return rows;
}

// One drawn case: n rows of d_bytes at k. check() aborts with the case printed
// when a result differs from the reference's.
struct Case {
    std::uint64_t n, d_bytes;
    std::uint32_t k;
    [[noreturn]] void fail(const char* what, std::size_t got, std::size_t want) const {
        std::fprintf(stderr, "%s is wrong: n=%llu d_bytes=%llu k=%u (%zu, expected %zu)\n", what,
                     static_cast<unsigned long long>(n), static_cast<unsigned long long>(d_bytes), k, got,
                     want);
        std::abort();
    }
    template <class Records>
    void check(const Records& got, const Records& want, const char* what) const {
        if (got != want) fail(what, got.size(), want.size());
    }
};

// A k that bit chunks accept for d_bytes: 0, or from the smallest k whose
// chunks fit 128 bits, ceil(8 * d_bytes / 128) - 1, to 8 * d_bytes - 1. Most
// draws stay within 32 of the smallest: a large k over many near-equal rows
// makes up to (k + 1) * n^2 / 2 candidates, which would slow every run.
std::uint32_t bit_k(std::uint64_t d_bytes, std::uint16_t choice) {
    const std::uint64_t bits = 8 * d_bytes;
    const std::uint64_t lowest = std::max<std::uint64_t>((bits + 127) / 128, 2) - 1;
    if (choice % 8 == 0 || lowest >= bits) return 0;
    const std::uint64_t span = choice % 8 == 1 ? bits - lowest : std::min<std::uint64_t>(bits - lowest, 32);
    return static_cast<std::uint32_t>(lowest + (choice / 8) % span);
}

// The fixed joins: byte chunks at `bytes.k`, bit chunks at `bits.k`.
void check_joins(const std::vector<std::uint8_t>& rows, const Case& bytes, const Case& bits) {
    const std::uint64_t n = bytes.n, d = bytes.d_bytes;
    const ByteSpan data(rows);
    const auto want = reference::self_join(rows.data(), n, d, bytes.k);
    bytes.check(find_pairs_self_no_dedup_par_prefetch(data, n, d, bytes.k), want, "find_pairs_self");
    bytes.check(find_pairs_self_no_dedup_par_prefetch_full(data, n, d, bytes.k), want, "full popcount");
    const auto want_bit = reference::self_join(rows.data(), n, d, bits.k);
    bits.check(find_pairs_self_bit(data, n, d, bits.k), want_bit, "find_pairs_self_bit");
    bits.check(find_pairs_self_adaptive(data, n, d, bits.k), want_bit, "find_pairs_self_adaptive");
    // The rows cut in two, and the rows against themselves.
    const std::uint64_t half = n / 2;
    for (const auto& [a, n_a, b, n_b] :
         {std::tuple{data.first(half * d), half, data.subspan(half * d), n - half},
          std::tuple{data, n, data, n}}) {
        bytes.check(find_pairs_cross(a, n_a, b, n_b, d, bytes.k),
                    reference::cross_join(a.data(), n_a, b.data(), n_b, d, bytes.k), "find_pairs_cross");
        bits.check(find_pairs_cross_bit(a, n_a, b, n_b, d, bits.k),
                   reference::cross_join(a.data(), n_a, b.data(), n_b, d, bits.k), "find_pairs_cross_bit");
    }
}

// Calls fn(d) for every way d (ascending, m entries) of spreading k differing
// bits over m blocks, as partitions of k into at most m parts.
template <class Fn>
void for_each_spread(std::uint32_t k, std::size_t m, Fn&& fn) {
    std::vector<std::uint32_t> d(m, 0);
    const auto fill = [&](auto& self, std::size_t at, std::uint32_t left, std::uint32_t most) -> void {
        if (at == 0) {
            if (left == 0) fn(d);
            return;
        }
        for (std::uint32_t v = std::min(left, most);; --v) {
            d[at - 1] = v;
            self(self, at - 1, left - v, v);
            if (v == 0) break;
        }
    };
    fill(fill, m, k, k);
}

// A block plan finds every pair: its atoms (bits lying in the same parts) are
// m blocks, its parts every choice of r of them at one threshold t, and
// however k differing bits spread over the blocks, the r blocks holding
// fewest hold at most t.
void check_block_plan(const Plan& plan, const Case& c) {
    const std::size_t bits = 8 * c.d_bytes;
    std::vector<std::uint64_t> signature(bits, 0);
    for (std::size_t p = 0; p < plan.parts.size(); ++p) {
        const Part& part = plan.parts[p];
        if (part.threshold != plan.parts[0].threshold) c.fail("block plan thresholds", part.threshold, 0);
        if (part.positions.empty()) {
            for (std::uint64_t b = part.lo; b < part.hi; ++b) signature[b] |= std::uint64_t{1} << p;
        }
        for (const std::uint64_t b : part.positions) signature[b] |= std::uint64_t{1} << p;
    }
    std::vector<std::uint64_t> blocks(signature);
    std::sort(blocks.begin(), blocks.end());
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    blocks.erase(std::remove(blocks.begin(), blocks.end(), 0), blocks.end());
    // Each block lies in C(m - 1, r - 1) parts and each part holds r blocks:
    // with every part distinct, the parts are all the r-choices.
    const std::size_t m = blocks.size(), parts = plan.parts.size();
    std::size_t r = 0, choices = 1;
    for (std::size_t p = 0; p < parts; ++p) {
        std::size_t held = 0;
        for (const std::uint64_t block : blocks) held += (block >> p) & 1;
        if (p > 0 && held != r) c.fail("block plan part", held, r);
        r = held;
    }
    for (std::size_t i = 0; i < r; ++i) choices = choices * (m - i) / (i + 1);
    if (choices != parts || r < 2 || r >= m) c.fail("block plan parts", parts, choices);
    for_each_spread(c.k, m, [&](const std::vector<std::uint32_t>& d) {
        std::uint32_t least = 0;
        for (std::size_t i = 0; i < r; ++i) least += d[i];
        if (least > plan.parts[0].threshold) c.fail("block plan threshold", plan.parts[0].threshold, least);
    });
}

// Every plan the planner would consider (parts with thresholds, cut evenly and
// by entropy; parts combining blocks; the fixed chunk plans) finds every pair:
// disjoint parts' thresholds plus one exceed k (the box principle), a block
// plan passes check_block_plan, and a part with a threshold is keyed exactly.
// With `run`, those plans and the scan are also run directly, self and cross,
// beside find_pairs (which scans small inputs itself).
void check_planned(const std::vector<std::uint8_t>& rows, const Case& c, bool run) {
    const std::uint64_t n = c.n, d = c.d_bytes, n_a = n / 2;
    auto entropies = estimate_bit_entropies(rows, n, d, 64);
    for (std::size_t p = 0; p < entropies.size(); p += 2) entropies[p] *= 0.5;  // balanced plans too
    std::vector<Plan> plans = candidate_plans(d, c.k, &entropies);
    for (auto&& more : {block_plans(d, c.k, &entropies), fixed_plans(d, c.k, &entropies)})
        plans.insert(plans.end(), more.begin(), more.end());
    for (const Plan& plan : plans) {
        for (const Part& part : plan.parts)
            if (part.threshold >= part.width() || (part.threshold > 0 && part.width() > kMaxExactPartBits))
                c.fail("part threshold", part.threshold, part.width());
        if (plan.name == "blocks" || plan.name == "balanced blocks") {
            check_block_plan(plan, c);
            continue;
        }
        std::uint64_t sum = 0;
        std::vector<std::uint8_t> used(8 * d, 0);
        for (const Part& part : plan.parts) {
            sum += part.threshold + 1;
            if (part.positions.empty()) {
                for (std::uint64_t p = part.lo; p < part.hi; ++p) ++used[p];
            }
            for (const std::uint64_t p : part.positions) ++used[p];
        }
        if (sum <= c.k) c.fail("plan (thresholds plus one)", sum, c.k + 1);
        if (std::any_of(used.begin(), used.end(), [](std::uint8_t u) { return u > 1; }))
            c.fail("plan overlap", 2, 1);
    }
    if (!run) return;
    const auto want = reference::self_join(rows.data(), n, d, c.k);
    const auto want_cross = reference::cross_join(rows.data(), n_a, rows.data() + n_a * d, n - n_a, d, c.k);
    const JoinInput cross{rows.data(), n_a, rows.data() + n_a * d, n - n_a, d, c.k};
    c.check(find_pairs(rows, n, std::nullopt, 0, d, c.k), want, "find_pairs");
    const ByteSpan data(rows);
    c.check(find_pairs(data.first(n_a * d), n_a, data.subspan(n_a * d), n - n_a, d, c.k), want_cross,
            "find_pairs (cross)");
    plans.push_back(scan_plan());
    // The groups find_groups labels: the lowest row of each component of the
    // reference's pairs.
    const auto lowest_rows = [n](const detail::UnionFind& groups) {
        std::vector<std::uint32_t> label(n), lowest(n, UINT32_MAX);
        for (std::uint32_t r = 0; r < n; ++r) lowest[groups.find(r)] = std::min(lowest[groups.find(r)], r);
        for (std::uint32_t r = 0; r < n; ++r) label[r] = lowest[groups.find(r)];
        return label;
    };
    detail::UnionFind components(n);
    for (const PairRecord& pair : want) components.unite(pair.i, pair.j);
    const std::vector<std::uint32_t> want_groups = lowest_rows(components);
    for (const Plan& plan : plans) {
        const JoinInput self{rows.data(), n, nullptr, 0, d, c.k};
        c.check(join_with_plan(self, plan), want, "join_with_plan (self)");
        c.check(join_with_plan(cross, plan), want_cross, "join_with_plan (cross)");
        detail::UnionFind groups(n);
        detail::unite_with_plan(self, plan, groups, nullptr);
        c.check(lowest_rows(groups), want_groups, "unite_with_plan");
    }
}

// An Index and a Bank filled by a mix of add and add_batch, on tails and merge
// factors small enough to make many segments and merges; the Bank then
// removes some rows and, half the time, is compacted. Both are queried with
// stored rows and fresh ones, each answer compared with a brute-force scan
// of the (live) rows, and the Bank again after a round trip through its file
// image; then all those rows at once through query_batch, its segments
// searched query by query or (half the inputs) all batched.
void check_index(Input& in, const std::vector<std::uint8_t>& rows, const Case& c) {
    const std::uint64_t n = c.n, d = c.d_bytes;
    const ByteSpan data(rows);
    const std::uint8_t shape = in.byte();
    const std::uint64_t batched = shape >= 128 ? 1 : 0;
    const StoreTuning tuning{1 + shape % 8u, 2 + shape / 8 % 3u, batched, batched};
    Index index = Index::create(d, c.k, static_cast<std::uint32_t>(brimel::kMaxRows), tuning);
    Bank bank(d, c.k, tuning);
    for (std::uint64_t r = 0; r < n;) {
        const std::uint64_t run = std::min<std::uint64_t>(in.byte() % 9, n - r);
        if (run == 0) {
            index.add(data.subspan(r * d, d));
            bank.add_batch(data.subspan(r++ * d, d));
        } else {
            index.add_batch(data.subspan(r * d, run * d));
            bank.add_batch(data.subspan(r * d, run * d));
            r += run;
        }
    }
    std::vector<std::uint64_t> gone;
    std::vector<std::uint8_t> live_rows;
    std::vector<std::uint32_t> live_ids;
    for (std::uint64_t r = 0; r < n; ++r) {
        if (in.byte() % 4 == 0) {
            gone.push_back(r);
        } else {
            live_rows.insert(live_rows.end(), rows.begin() + r * d, rows.begin() + (r + 1) * d);
            live_ids.push_back(static_cast<std::uint32_t>(r));
        }
    }
    bank.remove(gone);
    if (in.byte() % 2 == 0) bank.compact();
    std::vector<std::uint8_t> image(bank.saved_size());
    bank.save_to(image);
    const std::unique_ptr<Bank> loaded = Bank::from_bytes(image);
    const std::vector<std::uint8_t> fresh = make_rows(in, 4, d);
    std::vector<std::uint8_t> batch;
    std::vector<PairRecord> want_batch, want_live_batch;
    for (std::uint64_t q = 0; q < n + 4; q += 1 + in.byte() % 4) {
        const std::uint8_t* row = q < n ? rows.data() + q * d : fresh.data() + (q - n) * d;
        const auto b = static_cast<std::uint32_t>(batch.size() / d);
        batch.insert(batch.end(), row, row + d);
        std::vector<QueryHit> want, want_live;
        for (const auto& record : reference::cross_join(row, 1, rows.data(), n, d, c.k))
            want.push_back({record.j, record.dist});
        for (const auto& record : reference::cross_join(row, 1, live_rows.data(), live_ids.size(), d, c.k))
            want_live.push_back({live_ids[record.j], record.dist});
        c.check(index.query({row, d}), want, "Index::query");
        c.check(bank.query({row, d}, c.k), want_live, "Bank::query");
        c.check(loaded->query({row, d}, c.k), want_live, "Bank::query (loaded)");
        for (const QueryHit& hit : want) want_batch.push_back({b, hit.id, hit.dist});
        for (const QueryHit& hit : want_live) want_live_batch.push_back({b, hit.id, hit.dist});
    }
    c.check(index.query_batch(batch, c.k), want_batch, "Index::query_batch");
    c.check(bank.query_batch(batch, c.k), want_live_batch, "Bank::query_batch");
    c.check(loaded->query_batch(batch, c.k), want_live_batch, "Bank::query_batch (loaded)");
}

// One drawn case: up to kMaxRows rows of up to kMaxWidth bytes, a k for byte
// chunks (the largest drawn often) and one for bit chunks, which also serves
// the planner (on rows of 16 bytes or fewer) and the Index.
void check_case(Input& in) {
    const std::uint64_t d = 1 + in.byte() % kMaxWidth;
    const std::uint8_t byte_choice = in.byte();
    const std::uint16_t bit_choice = in.u16();
    const std::uint64_t n = in.byte() % (kMaxRows + 1);
    const Case bytes{n, d, static_cast<std::uint32_t>(byte_choice >= 192 ? d - 1 : byte_choice % d)};
    const Case bits{n, d, bit_k(d, bit_choice)};
    const std::vector<std::uint8_t> rows = make_rows(in, n, d);
    check_joins(rows, bytes, bits);
    check_planned(rows, bits, d <= 16);
    check_index(in, rows, bits);
}

#ifdef BRIMEL_FUZZ_REPLAY
// What fuzzed cases never reach: thousands of rows (several 2048-row tiles),
// rows that all share their first 4 bytes, a few distinct rows repeated, and
// near-duplicates up to k + 1 bits apart on wide rows.
void check_large_cases() {
    struct Large {
        char kind;  // 'f' flood, 'c' clustered, 'p' planted
        std::uint64_t n, d;
        std::uint32_t k;
    };
    for (const Large& large : {Large{'f', 4500, 8, 3}, Large{'c', 2500, 4, 1}, Large{'f', 700, 32, 15},
                               Large{'c', 400, 32, 7}, Large{'p', 300, 20, 19}, Large{'p', 150, 32, 31}}) {
        const std::uint64_t n = large.n, d = large.d;
        Input in(nullptr, 0);
        std::vector<std::uint8_t> rows = make_rows(in, large.kind == 'c' ? 9 : n, d, large.k + 1);
        for (std::uint64_t r = 9; large.kind == 'c' && r < n; ++r) {
            const std::uint64_t source = in.byte() % 9;
            rows.insert(rows.end(), rows.begin() + source * d, rows.begin() + (source + 1) * d);
        }
        for (std::uint64_t r = 0; large.kind == 'f' && r < n; ++r) std::fill_n(&rows[r * d], 4, 0xA5);
        const Case bits{n, d, large.k};
        check_joins(rows, Case{n, d, std::min<std::uint32_t>(large.k, d - 1)}, bits);
        check_planned(rows, bits, true);
        check_index(in, rows, bits);
    }
}
#endif

}  // namespace
}  // namespace brimel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    brimel::Input in(data, size);
    brimel::check_case(in);
    return 0;
}

#ifdef BRIMEL_FUZZ_REPLAY
// Replays every file of the corpus directories named (grown by scripts/fuzz.sh;
// one that does not exist yet is skipped), the large cases, then 1000 generated
// 24-byte inputs.
int main(int argc, char** argv) {
    try {
        std::printf("scan kernel: %s\n", brimel::active_kernel());
    } catch (const brimel::KernelUnavailable& refused) {
        std::printf("%s\n", refused.what());
        return 1;
    }
    std::size_t files = 0;
    for (int a = 1; a < argc; ++a) {
        if (!std::filesystem::is_directory(argv[a])) continue;
        for (const auto& entry : std::filesystem::directory_iterator(argv[a])) {
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++files;
        }
    }
    brimel::check_large_cases();
    std::mt19937_64 rng(20240607);
    std::vector<std::uint8_t> bytes(24);
    for (int input = 0; input < 1000; ++input) {
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu corpus files, the large cases and 1000 generated inputs\n", files);
    return 0;
}
#endif
