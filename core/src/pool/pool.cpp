#include "brimel/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

namespace brimel::pool {
namespace {

// Reads an unsigned integer the way the pool variables have always been read:
// decimal digits with an optional leading '+', nothing else. A number too large
// for std::size_t reads as the largest value (it is clamped afterwards).
std::optional<std::size_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size()) return std::nullopt;
    if (error == std::errc::result_out_of_range) return std::numeric_limits<std::size_t>::max();
    if (error != std::errc{}) return std::nullopt;
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

// What a probe thread holds while the others start, in bytes: room for what a
// new worker takes beyond its stack before its first task (thread-local
// blocks, oneTBB's per-thread state; about 400 KiB each, measured), with a
// margin, since the probe stops only once the address space is used up.
constexpr std::size_t kProbeHeadroom = 1024 * 1024;

// How many of `wanted` threads with stacks of `stack_bytes` can be running at
// once right now: threads are started one at a time, each making one small
// allocation and one of kProbeHeadroom bytes and then waiting, until `wanted`
// run or one cannot start or allocate; then all are released and joined.
// oneTBB ends the process ("pthread_create has failed", from a worker starting
// further workers) when a worker cannot be started, so the pool is sized to
// what fits first. The small allocation matters: a thread's first one gives it
// a heap arena of its own, 64 MiB of address space that is kept for the
// process and handed to the next thread, so the probe reserves what the
// workers will reuse, and the workers' stacks come from the thread stack
// cache the probe leaves behind.
std::size_t startable_threads(std::size_t wanted, std::size_t stack_bytes) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::size_t reported = 0;
        std::size_t allocated = 0;
        bool release = false;
    } shared;
    const auto body = [](void* argument) -> void* {
        auto& s = *static_cast<Shared*>(argument);
        void* small = std::malloc(64);
        void* held = std::malloc(kProbeHeadroom);
        std::unique_lock lock(s.mutex);
        ++s.reported;
        if (small != nullptr && held != nullptr) ++s.allocated;
        s.changed.notify_all();
        s.changed.wait(lock, [&] { return s.release; });
        lock.unlock();
        std::free(small);
        std::free(held);
        return nullptr;
    };
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return 0;
    if (stack_bytes > 0) pthread_attr_setstacksize(&attributes, stack_bytes);
    std::vector<pthread_t> started;
    try {
        started.reserve(wanted);
    } catch (const std::bad_alloc&) {
        wanted = 0;
    }
    for (std::size_t t = 0; t < wanted; ++t) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, +body, &shared) != 0) break;
        started.push_back(thread);
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(lock, [&] { return shared.reported == started.size(); });
        if (shared.allocated != started.size()) break;
    }
    pthread_attr_destroy(&attributes);
    std::size_t fitting = 0;
    {
        std::lock_guard lock(shared.mutex);
        shared.release = true;
        fitting = shared.allocated;
    }
    shared.changed.notify_all();
    for (const pthread_t thread : started) pthread_join(thread, nullptr);
    return fitting;
}

// Lets the arena's workers start now, right after the probe found room for
// them, instead of whenever a later stage first asks for them (the address
// space may be gone by then): one task per slot, each waiting until every slot
// has a thread or 5 ms have passed. The tasks ask oneTBB for every worker at
// once, which starts them; the wait only lets most of them arrive here.
void start_workers(oneapi::tbb::task_arena& arena, std::size_t size) {
    std::atomic<std::size_t> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
    arena.execute([&] {
        oneapi::tbb::parallel_for(
            oneapi::tbb::blocked_range<std::size_t>(0, size, 1),
            [&](const oneapi::tbb::blocked_range<std::size_t>&) {
                ++arrived;
                while (arrived.load() < size && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
            },
            oneapi::tbb::simple_partitioner{});
    });
}

Pool& the_pool() {
    // Created once and never destroyed: worker threads may outlive static
    // destruction order at interpreter exit.
    static Pool* pool = [] {
        auto* p = new Pool;
        std::size_t size = size_from_environment(environment("RAYON_NUM_THREADS"),
                                                 environment("RAYON_RS_NUM_CPUS"), logical_cpu_count());
        const auto stack =
            oneapi::tbb::global_control::active_value(oneapi::tbb::global_control::thread_stack_size);
        size = startable_threads(size - 1, stack) + 1;  // the caller's thread is the first slot
        const auto hardware =
            oneapi::tbb::global_control::active_value(oneapi::tbb::global_control::max_allowed_parallelism);
        if (size > hardware)
            p->limit = std::make_unique<oneapi::tbb::global_control>(
                oneapi::tbb::global_control::max_allowed_parallelism, size);
        p->arena = std::make_unique<oneapi::tbb::task_arena>(static_cast<int>(size));
        p->arena->initialize();
        if (size > 1) start_workers(*p->arena, size);
        return p;
    }();
    return *pool;
}

}  // namespace

std::size_t size_from_environment(std::optional<std::string_view> rayon_num_threads,
                                  std::optional<std::string_view> rayon_rs_num_cpus,
                                  std::size_t logical_cpus) {
    const std::size_t largest = max_pool_size(logical_cpus);
    if (rayon_num_threads) {
        if (const auto n = parse_count(*rayon_num_threads))
            return std::min(*n > 0 ? *n : logical_cpus, largest);
    }
    if (rayon_rs_num_cpus) {
        if (const auto n = parse_count(*rayon_rs_num_cpus); n && *n > 0) return std::min(*n, largest);
    }
    return std::min(logical_cpus, largest);
}

std::size_t max_pool_size(std::size_t logical_cpus) {
    return std::max<std::size_t>(256, 4 * std::min<std::size_t>(logical_cpus, 1 << 20));
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
    // Always through the arena, which runs the stage directly when the thread
    // is already in it. A thread's index in "an arena" cannot tell: once a
    // thread has used oneTBB it stays attached to an implicit arena of the
    // hardware's size, so a second stage on the same thread ran there, on as
    // many threads as the machine has rather than the pool's size.
    try {
        the_pool().arena->execute(stage);
    } catch (const std::runtime_error& failure) {
        // oneTBB reports a worker it could not start this way; that is a lack
        // of memory (or of threads), not a fault of the stage.
        if (std::string_view(failure.what()).starts_with("pthread_create")) throw std::bad_alloc();
        throw;
    }
}

std::size_t worker_count() {
    const int n = the_pool().arena->max_concurrency();
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

}  // namespace brimel::pool
