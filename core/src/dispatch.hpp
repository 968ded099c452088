// Runtime dispatch of the popcount loops.
//
// Distance counting is the hot loop of every join and of index queries. On
// x86-64 each function marked BRIMEL_POPCNT_CLONES is compiled twice, with and
// without the POPCNT instruction, and the loader picks the clone the CPU
// supports; the inline counting helpers of verify.hpp are inlined into each
// clone. Elsewhere the compiler's default popcount is used.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(BRIMEL_NO_DISPATCH)
#define BRIMEL_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define BRIMEL_POPCNT_CLONES
#endif
