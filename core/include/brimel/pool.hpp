// The process-wide worker pool of the self-joins.
//
// One oneTBB task_arena, created on first use. Its size comes from
// "RAYON_NUM_THREADS" (a positive integer; 0 means the number of logical CPUs),
// else "RAYON_RS_NUM_CPUS" (a positive integer), else the logical CPU count.
// A size above the CPU count is honoured up to max_pool_size (larger numbers,
// however many digits, are clamped to it). The pool then starts only as many
// workers as the process can start at that moment (address space for their
// stacks, thread limits): a size that does not fit shrinks, it never fails.
//
// A thread outside the pool that starts a parallel stage hands it to the arena
// and waits; a stage started from inside the arena (a worker, or a caller
// already in run()) runs there directly. Every stage runs on the pool, however
// many stages the same thread has started before. An exception thrown by a
// task reaches the thread that started the stage. Results are always gathered
// by task index, so every result is the same for any number of workers.
#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace brimel::pool {

// The size rule above as a pure function of the two variables' values
// (std::nullopt when unset) and the logical CPU count.
std::size_t size_from_environment(std::optional<std::string_view> rayon_num_threads,
                                  std::optional<std::string_view> rayon_rs_num_cpus,
                                  std::size_t logical_cpus);

// The largest pool: max(256, 4 * logical_cpus), oneTBB's own cap on workers.
std::size_t max_pool_size(std::size_t logical_cpus);

// Logical CPUs this process may run on (affinity mask), at least 1.
std::size_t logical_cpu_count();

// Runs `stage` on the pool and returns when it has finished. Inside `stage`,
// the parallel helpers below spread work over the pool's workers.
void run(const std::function<void()>& stage);

// Number of workers of the pool; at least 1.
std::size_t worker_count();

// Parallel map over [0, count): out[t] = fn(t). One index is the smallest unit
// of work and is never split (grain 1), since a unit is a whole chunk or a whole
// verification piece. Call from inside run().
template <class T, class Fn>
std::vector<T> map_indexed(std::size_t count, Fn&& fn) {
    std::vector<T> out(count);
    oneapi::tbb::parallel_for(
        oneapi::tbb::blocked_range<std::size_t>(0, count, 1),
        [&](const oneapi::tbb::blocked_range<std::size_t>& range) {
            for (std::size_t t = range.begin(); t != range.end(); ++t) out[t] = fn(t);
        },
        oneapi::tbb::simple_partitioner{});
    return out;
}

// Parallel unstable sort (call from inside run()).
template <class T>
void sort(std::vector<T>& items) {
    oneapi::tbb::parallel_sort(items.begin(), items.end());
}

}  // namespace brimel::pool
