#include "distinct_codes.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include <algorithm>
#include <cstring>

#include "../keys/code_words.hpp"
#include "../seed.hpp"

namespace brimel::detail {
namespace {

namespace tbb = oneapi::tbb;

std::uint64_t mix(std::uint64_t x) {  // the splitmix64 finaliser
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct HashedRow {
    std::uint64_t hash;
    std::uint32_t row;
    friend bool operator<(const HashedRow& x, const HashedRow& y) {
        return x.hash != y.hash ? x.hash < y.hash : x.row < y.row;
    }
};

void poll(const RunControl* control) {
    if (control != nullptr) control->check();
}

}  // namespace

std::uint64_t code_hash(const std::uint8_t* code, std::uint64_t d_bytes, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (std::size_t w = 0; w < words_per_row(d_bytes); ++w) h = mix(h ^ load_word(code, w, d_bytes));
    return h;
}

DistinctCodes distinct_codes(const std::uint8_t* data, std::uint64_t n, std::uint64_t d_bytes,
                             const RunControl* control) {
    const auto code = [&](std::uint32_t r) { return data + std::uint64_t{r} * d_bytes; };
    const std::uint64_t seed = process_seed();
    std::vector<HashedRow> hashed(n);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1 << 14),
                      [&](const tbb::blocked_range<std::size_t>& rows) {
                          poll(control);
                          for (std::size_t r = rows.begin(); r != rows.end(); ++r)
                              hashed[r] = {code_hash(code(static_cast<std::uint32_t>(r)), d_bytes, seed),
                                           static_cast<std::uint32_t>(r)};
                      });
    tbb::parallel_sort(hashed.begin(), hashed.end());
    poll(control);

    // leader[r]: the lowest row with r's code, held in of_row until numbered.
    DistinctCodes out;
    out.of_row.resize(n);
    std::vector<std::uint32_t>& leader = out.of_row;
    const auto same = [&](std::uint32_t x, std::uint32_t y) {
        return std::memcmp(code(x), code(y), d_bytes) == 0;
    };
    for (std::size_t begin = 0; begin < n;) {
        std::size_t end = begin + 1;
        bool one_code = true;
        while (end < n && hashed[end].hash == hashed[begin].hash) {
            one_code = one_code && same(hashed[begin].row, hashed[end].row);
            ++end;
        }
        if (!one_code)
            std::sort(hashed.begin() + begin, hashed.begin() + end,
                      [&](const HashedRow& x, const HashedRow& y) {
                          const int order = std::memcmp(code(x.row), code(y.row), d_bytes);
                          return order != 0 ? order < 0 : x.row < y.row;
                      });
        // Rows ascend within a code either way: the first of each code leads.
        for (std::size_t p = begin; p < end; ++p)
            leader[hashed[p].row] = p > begin && (one_code || same(hashed[p - 1].row, hashed[p].row))
                                        ? leader[hashed[p - 1].row]
                                        : hashed[p].row;
        begin = end;
    }
    std::vector<HashedRow>().swap(hashed);
    poll(control);

    // A leader precedes the rest of its rows, so it is numbered first.
    for (std::size_t r = 0; r < n; ++r) {
        if (leader[r] == r) {
            out.of_row[r] = static_cast<std::uint32_t>(out.first_row.size());
            out.first_row.push_back(static_cast<std::uint32_t>(r));
        } else {
            out.of_row[r] = out.of_row[leader[r]];
        }
    }
    return out;
}

}  // namespace brimel::detail
