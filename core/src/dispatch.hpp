// Runtime dispatch of the popcount loops.
//
// Distance counting is the hot loop of every join and of index queries. On
// x86-64 each function marked BRIMEL_POPCNT_CLONES is compiled twice, with and
// without the POPCNT instruction, and the loader picks the clone the CPU
// supports. Everything a clone calls in its loop must be inlined into it, or it
// is compiled once for the default target and counts bits in software: such
// helpers are marked [[gnu::always_inline]] (the counting helpers of verify.hpp
// and the per-run loops). Elsewhere the compiler's default popcount is used.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(BRIMEL_NO_DISPATCH)
#define BRIMEL_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define BRIMEL_POPCNT_CLONES
#endif
