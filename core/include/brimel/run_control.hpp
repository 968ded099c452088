// Cancellation and progress of a long engine run, shared between the thread
// that waits for the run and the workers doing it.
//
// The waiting side calls cancel() at any time and reads progress(); the
// engine polls cancelled() at tile and group granularity (a few milliseconds
// of work at most between polls) and, once cancelled, throws Cancelled from
// the worker that noticed. The pool carries that exception to the thread
// that started the stage, unwinding every stage and freeing what the run
// held, so a cancelled run returns nothing and leaves nothing behind.
//
// Progress is counted in rows: a join goes through the rows of A once per
// part of its plan (once for the tile scan), so total() is parts * n_a and
// done() the rows whose groups a part has verified, summed over the parts.
// done() only grows and reaches total() when the join completes.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

namespace brimel {

// Thrown by an engine run whose RunControl was cancelled.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "the run was cancelled"; }
};

class RunControl {
public:
    struct Progress {
        std::uint64_t parts_done = 0;
        std::uint64_t parts_total = 0;
        std::uint64_t rows_done = 0;   // summed over parts
        std::uint64_t rows_total = 0;  // parts_total * rows of A
    };

    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }
    // Throws Cancelled once cancel() has been called.
    void check() const {
        if (cancelled()) [[unlikely]]
            throw Cancelled();
    }

    // Set by the engine when a join starts: `parts` passes over `rows` rows.
    void start(std::uint64_t parts, std::uint64_t rows) noexcept {
        parts_total_.store(parts, std::memory_order_relaxed);
        rows_total_.store(parts * rows, std::memory_order_relaxed);
    }
    void add_rows(std::uint64_t rows) noexcept { rows_done_.fetch_add(rows, std::memory_order_relaxed); }
    void part_done() noexcept { parts_done_.fetch_add(1, std::memory_order_relaxed); }

    Progress progress() const noexcept {
        return {parts_done_.load(std::memory_order_relaxed), parts_total_.load(std::memory_order_relaxed),
                rows_done_.load(std::memory_order_relaxed), rows_total_.load(std::memory_order_relaxed)};
    }

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint64_t> parts_done_{0};
    std::atomic<std::uint64_t> parts_total_{0};
    std::atomic<std::uint64_t> rows_done_{0};
    std::atomic<std::uint64_t> rows_total_{0};
};

}  // namespace brimel
