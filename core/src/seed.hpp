// The seed of the hashes that group rows: the hashed parts of wide
// exact-match chunks (keys/part_keys.hpp) and the code hash that collapses
// equal codes (tables/distinct_codes.hpp). Drawn at random once per process,
// so that no choice of codes makes them collide more than random codes do;
// rows whose hashes collide are told apart by comparing them, so results
// never depend on it.
#pragma once

#include <cstdint>

namespace brimel::detail {

// The seed, drawn on first use from std::random_device or, where that fails
// (no entropy source), from the clocks, the process id and an address: still
// unknown to anyone who only chooses the codes.
std::uint64_t process_seed() noexcept;

// Replaces the seed for the joins that start afterwards, so that a test can
// craft codes that collide. Not while a join runs.
void set_process_seed(std::uint64_t seed) noexcept;

}  // namespace brimel::detail
