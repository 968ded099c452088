#include "key_hasher.hpp"

#include <unistd.h>

#include <chrono>
#include <random>

namespace brimel::detail {
namespace {

Word128 random_word128(std::random_device& device) {
    Word128 word = 0;
    for (int part = 0; part < 4; ++part) word = (word << 32) | device();
    return word;
}

HashDraw draw_hash() {
    try {
        std::random_device device;
        return {random_word128(device), random_word128(device), random_word128(device)};
    } catch (const std::exception&) {
        // No entropy source: a draw from the clock and the process id, still
        // unknown to anyone who only chooses the codes.
        std::seed_seq seed{
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
            static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
            static_cast<std::uint64_t>(::getpid())};
        std::mt19937_64 engine(seed);
        const auto next = [&] { return (Word128{engine()} << 64) | engine(); };
        return {next(), next(), next()};
    }
}

}  // namespace

const HashDraw kHashDraw = draw_hash();

}  // namespace brimel::detail
