// Scalar loops compiled twice on x86-64, the loader picking the clone the CPU
// runs.
//
// Code outside the vector kernels (the scalar kernel, part distances) counts
// bits with __builtin_popcountll, which the baseline x86-64 target compiles to
// a library call. Each function marked BRIMEL_POPCNT_CLONES is compiled with
// and without the POPCNT instruction. A loop the compiler vectorizes (key
// extraction over contiguous rows) is marked BRIMEL_AVX2_CLONES: compiled
// for AVX2 too, four rows per instruction where the baseline does one or two.
//
// Everything a clone calls in its loop must be inlined into it, or it is
// compiled once for the default target: such helpers are marked
// [[gnu::always_inline]]. The sanitizer builds define BRIMEL_NO_DISPATCH,
// since ifunc resolvers run before the sanitizer runtime is ready.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(BRIMEL_NO_DISPATCH)
#define BRIMEL_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#define BRIMEL_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define BRIMEL_POPCNT_CLONES
#define BRIMEL_AVX2_CLONES
#endif
