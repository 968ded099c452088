// Engine failures: one type per cause, each reaching Python as one type.
//  - Caller errors (a wrong type, layout, width or k) are refused by the
//    binding before the engine is reached: ValueError, TypeError or
//    OverflowError.
//  - RowLimit: more rows than 32-bit row ids can number. A capacity limit,
//    not a broken precondition: the call changed nothing. OverflowError.
//  - std::bad_alloc, and std::length_error (a container asked for more than
//    it can ever hold): memory ran out. MemoryError. Never Panic, so callers
//    can tell "out of memory" from "engine refused the input".
//  - Panic: a broken precondition inside the engine (wrong buffer length, a
//    chunk plan that cannot be keyed), with a fixed text; also the refusals
//    that the six list-returning joins and the Index constructor leave to the
//    engine ("n exceeds u32::MAX", "bit chunk wider than 128 bits"), which
//    their callers expect as PanicException.
//  - Cancelled (run_control.hpp): the caller stopped the run; the binding
//    raises the Python exception that made it stop.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brimel {

class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

class RowLimit : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws Panic(message). Cold so that the checks inline to a compare and a
// never-taken branch.
[[noreturn, gnu::cold, gnu::noinline]] void panic(std::string_view message);

// Throws the equality-assertion Panic:
// "assertion `left == right` failed: <what>\n  left: <left>\n right: <right>".
[[noreturn, gnu::cold, gnu::noinline]] void panic_not_equal(std::string_view what, std::uint64_t left,
                                                            std::uint64_t right);

// Throws Panic for a read outside a buffer; only reachable through misuse of
// the low-level routines, never through the joins, which check lengths first.
[[noreturn, gnu::cold, gnu::noinline]] void panic_out_of_range(std::uint64_t index, std::uint64_t length);

// The widest code: its bit count, 8 * d_bytes, fits an unsigned 64-bit value.
// No wider row fits in memory; a wider d_bytes comes from a bare count (an
// Index's width) or from a view of memory that is not there, and is refused
// before any product of it is used to plan or allocate.
inline constexpr std::uint64_t kMaxCodeBytes = UINT64_MAX / 8;

// "d_bytes (<d_bytes>) is too large: 8*d_bytes must fit in 64 bits (d_bytes <= 2305843009213693951)"
std::string code_width_message(std::uint64_t d_bytes);

// Throws Panic(code_width_message(d_bytes)) when d_bytes > kMaxCodeBytes.
inline void check_code_width(std::uint64_t d_bytes) {
    if (d_bytes > kMaxCodeBytes) [[unlikely]]
        panic(code_width_message(d_bytes));
}

inline void assert_equal(std::uint64_t left, std::uint64_t right, std::string_view what) {
    if (left != right) [[unlikely]]
        panic_not_equal(what, left, right);
}

}  // namespace brimel
