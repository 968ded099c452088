// SimHash of the lines of a text (brimel/simhash.hpp): tokens, shingles and
// the bit vote, one document per task unit, documents spread over the pool.
#include "brimel/simhash.hpp"

#include <array>
#include <cstring>
#include <stdexcept>

#include "../keys/mix.hpp"
#include "brimel/pool.hpp"

namespace brimel {
namespace {

// Byte -> its lowered value when it belongs to a word, 0 when it separates.
constexpr std::array<std::uint8_t, 256> word_bytes() {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        if (c >= 'A' && c <= 'Z')
            table[c] = static_cast<std::uint8_t>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80)
            table[c] = static_cast<std::uint8_t>(c);
    }
    return table;
}
constexpr std::array<std::uint8_t, 256> kWord = word_bytes();

// Byte value v -> a word whose byte k is bit k of v: adding spread[h's byte i]
// to a counter word counts 8 bits of h at once, one count per byte lane.
constexpr std::array<std::uint64_t, 256> spread_bits() {
    std::array<std::uint64_t, 256> table{};
    for (int v = 0; v < 256; ++v)
        for (int k = 0; k < 8; ++k)
            if (v & (1 << k)) table[v] |= std::uint64_t{1} << (8 * k);
    return table;
}
constexpr std::array<std::uint64_t, 256> kSpread = spread_bits();

// The bit vote over shingle hashes: ones[b] counts the hashes with bit b set.
// Lane counters hold up to 255, so they are added into `ones` every 255 hashes.
class BitVote {
public:
    void add(std::uint64_t h) {
        for (int i = 0; i < 8; ++i) lanes_[i] += kSpread[(h >> (8 * i)) & 0xFF];
        ++total_;
        if (++pending_ == 255) flush();
    }
    std::uint64_t code() {
        flush();
        std::uint64_t code = 0;
        for (int b = 0; b < 64; ++b)
            if (2 * static_cast<std::uint64_t>(ones_[b]) > total_) code |= std::uint64_t{1} << b;
        return code;
    }

private:
    void flush() {
        for (int i = 0; i < 8; ++i) {
            for (int k = 0; k < 8; ++k) ones_[8 * i + k] += (lanes_[i] >> (8 * k)) & 0xFF;
            lanes_[i] = 0;
        }
        pending_ = 0;
    }
    std::array<std::uint64_t, 8> lanes_{};
    std::array<std::uint32_t, 64> ones_{};
    std::uint64_t total_ = 0;
    std::uint32_t pending_ = 0;
};

std::uint64_t shingle_hash(const std::uint64_t* tokens, std::size_t count) {
    std::uint64_t h = tokens[0];
    for (std::size_t t = 1; t < count; ++t) h = detail::mix(h * kShingleMultiplier + tokens[t]);
    return h;
}

}  // namespace

std::uint64_t simhash(ByteSpan document, std::uint32_t shingle) {
    if (shingle == 0) throw std::invalid_argument("shingle must be at least 1");
    // The last `shingle` token hashes, oldest first once the window is full.
    std::vector<std::uint64_t> window;
    window.reserve(shingle);
    BitVote vote;
    std::size_t tokens = 0;
    const std::size_t size = document.size();
    for (std::size_t at = 0; at < size;) {
        if (kWord[document[at]] == 0) {
            ++at;
            continue;
        }
        std::uint64_t h = kFnvOffset;
        for (; at < size && kWord[document[at]] != 0; ++at) h = (h ^ kWord[document[at]]) * kFnvPrime;
        if (window.size() == shingle) window.erase(window.begin());
        window.push_back(detail::mix(h));
        if (++tokens >= shingle) vote.add(shingle_hash(window.data(), shingle));
    }
    if (tokens > 0 && tokens < shingle) vote.add(shingle_hash(window.data(), tokens));
    return vote.code();
}

std::vector<std::uint64_t> simhash_lines(ByteSpan text, std::uint32_t shingle, RunControl* control) {
    if (shingle == 0) throw std::invalid_argument("shingle must be at least 1");
    std::vector<std::size_t> starts{0};
    for (const std::uint8_t* at = text.data(); at != text.data() + text.size();) {
        const void* end = std::memchr(at, '\n', static_cast<std::size_t>(text.data() + text.size() - at));
        if (end == nullptr) break;
        at = static_cast<const std::uint8_t*>(end) + 1;
        starts.push_back(static_cast<std::size_t>(at - text.data()));
    }
    if (starts.back() != text.size()) starts.push_back(text.size() + 1);  // a last line without "\n"
    const std::size_t documents = starts.size() - 1;
    std::vector<std::uint64_t> codes(documents);
    constexpr std::size_t kBlock = 2048;  // documents per task
    if (control) control->start(1, documents);
    pool::run([&] {
        pool::map_indexed<char>((documents + kBlock - 1) / kBlock, [&](std::size_t block) {
            if (control) control->check();
            const std::size_t last = std::min(documents, (block + 1) * kBlock);
            for (std::size_t d = block * kBlock; d < last; ++d)
                codes[d] = simhash(text.subspan(starts[d], starts[d + 1] - 1 - starts[d]), shingle);
            if (control) control->add_rows(last - block * kBlock);
            return char{0};
        });
    });
    if (control) control->part_done();
    return codes;
}

}  // namespace brimel
