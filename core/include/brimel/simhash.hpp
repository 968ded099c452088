// 64-bit SimHash of documents, one per line of a text.
//
// Tokens are the maximal runs of word bytes: ASCII letters and digits, and
// every byte from 0x80 up (so a UTF-8 letter of any script is part of a word,
// and no Unicode tables are needed); ASCII letters are lowered first. Every
// other byte separates tokens.
//
// A token's hash is FNV-1a (64-bit) of its lowered bytes, finished by
// MurmurHash3's fmix64. A shingle is a run of `shingle` consecutive tokens
// (a document with fewer tokens has one shingle of all of them; one without
// tokens has none); its hash starts as the first token's hash h and takes in
// each next token's hash t as h = fmix64(h * 0x9E3779B97F4A7C15 + t), modulo
// 2^64. Bit b of the document's code is set when more than half of its
// shingles have bit b set, so a document without shingles has code 0.
//
// The code is a 64-bit value whose bit b is that bit; as a code row it is
// written most significant byte first, the order of from_uint64.
#pragma once

#include <cstdint>
#include <vector>

#include "brimel/run_control.hpp"
#include "brimel/types.hpp"

namespace brimel {

inline constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ull;
inline constexpr std::uint64_t kFnvPrime = 0x100000001B3ull;
inline constexpr std::uint64_t kShingleMultiplier = 0x9E3779B97F4A7C15ull;

// The SimHash of one document (the bytes of one line, without its "\n").
std::uint64_t simhash(ByteSpan document, std::uint32_t shingle);

// The SimHash of each line of `text`: lines end with "\n", and a last line
// without one is a document too (an empty text has none). Runs on the pool;
// `control`, when given, is polled every few thousand documents and counts
// the documents done. Throws std::invalid_argument when shingle is 0.
std::vector<std::uint64_t> simhash_lines(ByteSpan text, std::uint32_t shingle, RunControl* control = nullptr);

}  // namespace brimel
