#include "brimel/pool.hpp"

#include <sched.h>

#include <charconv>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

namespace brimel::pool {
namespace {

// Reads an unsigned integer the way the pool variables have always been read:
// decimal digits with an optional leading '+', nothing else.
std::optional<std::size_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::string_view> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

struct Pool {
    // Raises oneTBB's process-wide worker limit when the requested size is above
    // the hardware default; without it an arena is silently capped at the CPU count.
    std::unique_ptr<oneapi::tbb::global_control> limit;
    std::unique_ptr<oneapi::tbb::task_arena> arena;
};

Pool& the_pool() {
    // Created once and never destroyed: worker threads may outlive static
    // destruction order at interpreter exit.
    static Pool* pool = [] {
        auto* p = new Pool;
        const std::size_t size = size_from_environment(
            environment("RAYON_NUM_THREADS"), environment("RAYON_RS_NUM_CPUS"), logical_cpu_count());
        const auto hardware =
            oneapi::tbb::global_control::active_value(oneapi::tbb::global_control::max_allowed_parallelism);
        if (size > hardware)
            p->limit = std::make_unique<oneapi::tbb::global_control>(
                oneapi::tbb::global_control::max_allowed_parallelism, size);
        p->arena = std::make_unique<oneapi::tbb::task_arena>(static_cast<int>(size));
        p->arena->initialize();
        return p;
    }();
    return *pool;
}

bool inside_an_arena() {
    return oneapi::tbb::this_task_arena::current_thread_index() !=
           oneapi::tbb::task_arena::not_initialized;
}

}  // namespace

std::size_t size_from_environment(std::optional<std::string_view> rayon_num_threads,
                                  std::optional<std::string_view> rayon_rs_num_cpus,
                                  std::size_t logical_cpus) {
    if (rayon_num_threads) {
        if (const auto n = parse_count(*rayon_num_threads)) return *n > 0 ? *n : logical_cpus;
    }
    if (rayon_rs_num_cpus) {
        if (const auto n = parse_count(*rayon_rs_num_cpus); n && *n > 0) return *n;
    }
    return logical_cpus;
}

std::size_t logical_cpu_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

void run(const std::function<void()>& stage) {
    if (inside_an_arena()) {
        stage();
        return;
    }
    the_pool().arena->execute(stage);
}

std::size_t worker_count() {
    const int n = inside_an_arena() ? oneapi::tbb::this_task_arena::max_concurrency()
                                    : the_pool().arena->max_concurrency();
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

}  // namespace brimel::pool
