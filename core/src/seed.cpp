#include "seed.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>

namespace brimel::detail {
namespace {

std::uint64_t draw() noexcept {
    try {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
        std::uint64_t mixed =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        mixed ^= static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) *
                 0x9E3779B97F4A7C15ull;
        mixed ^= static_cast<std::uint64_t>(::getpid()) << 32;
        return mixed ^ reinterpret_cast<std::uintptr_t>(&mixed);  // the stack's place, randomised at start-up
    }
}

std::atomic<std::uint64_t>& seed() noexcept {
    static std::atomic<std::uint64_t> value{draw()};
    return value;
}

}  // namespace

std::uint64_t process_seed() noexcept { return seed().load(std::memory_order_relaxed); }

void set_process_seed(std::uint64_t value) noexcept { seed().store(value, std::memory_order_relaxed); }

}  // namespace brimel::detail
