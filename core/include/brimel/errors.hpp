// Engine failures.
//
// Two tiers, as in any library that takes user data:
//  - caller errors are caught by the binding before the engine is reached;
//  - a broken precondition inside the engine (wrong buffer length, too many
//    rows, a chunk plan that cannot be keyed) throws brimel::Panic with a fixed
//    text. The binding turns Panic into Python's PanicException.
// Allocation failure is std::bad_alloc, never Panic, so callers can tell
// "out of memory" from "engine refused the input".
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

inline void assert_equal(std::uint64_t left, std::uint64_t right, std::string_view what) {
    if (left != right) [[unlikely]]
        panic_not_equal(what, left, right);
}

}  // namespace brimel
