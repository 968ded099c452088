// The index file: the stored codes of an Index, framed so that a reader can
// tell a whole, intact file of a version it knows from anything else before
// it trusts a single field. The tables are not stored; a reader rebuilds them
// from the codes, so a file is d_bytes bytes per row plus 40 bytes.
//
// Layout, all integers little-endian (offsets and sizes in bytes):
//   offset  size           field
//        0     8           magic "BRIMELIX"
//        8     4           format version, u32 (kFileVersion)
//       12     4           k, u32
//       16     8           d_bytes, u64 (>= 1)
//       24     8           n, u64 (<= 4294967295), the number of rows
//       32     n * d_bytes the codes, row r at 32 + r * d_bytes
//  32 + n*d     8           checksum, u64: XXH64 of the codes seeded with the
//                          XXH64 (seed 0) of the 32 header bytes, so that a
//                          change to any header or code byte changes it
// The file size is therefore exactly 40 + n * d_bytes; a reader checks it
// against the header before it allocates anything for the codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brimel/index.hpp"
#include "brimel/types.hpp"

namespace brimel::detail {

inline constexpr std::uint32_t kFileVersion = 1;
inline constexpr std::uint64_t kHeaderBytes = 32;
inline constexpr std::uint64_t kChecksumBytes = 8;

struct FileHeader {
    std::uint64_t d_bytes = 0;
    std::uint32_t k = 0;
    std::uint64_t n = 0;
    std::uint64_t code_bytes() const noexcept { return n * d_bytes; }
    std::uint64_t file_bytes() const noexcept { return kHeaderBytes + code_bytes() + kChecksumBytes; }
};

// XXH64 of `bytes` with `seed` (the published algorithm, bit for bit).
std::uint64_t xxh64(ByteSpan bytes, std::uint64_t seed) noexcept;

// The 32 header bytes of `header`.
std::vector<std::uint8_t> encode_header(const FileHeader& header);

// The checksum of a file with these header bytes and codes.
std::uint64_t file_checksum(ByteSpan header_bytes, ByteSpan codes) noexcept;

// Reads the first kHeaderBytes of a file of `file_bytes` bytes in all. Throws
// IndexFileError when they are not the header of a file of this format and
// version, or when the file size is not the one the header declares. Checks
// nothing the checksum covers beyond that.
FileHeader decode_header(ByteSpan header_bytes, std::uint64_t file_bytes);

// Checks a whole index file held in memory (header, size and checksum), as
// read_index_file does, and returns its header; its codes are
// bytes.subspan(kHeaderBytes, n * d_bytes).
FileHeader check_index_bytes(ByteSpan bytes);

// Writes header, codes and checksum to `path` (created or truncated). Throws
// std::system_error with the errno of a failed call.
void write_index_file(const std::string& path, const FileHeader& header, ByteSpan codes);

// Reads a whole index file: its header, and its codes into `codes` (resized to
// n * d_bytes only once the file size matched the header). Throws
// std::system_error for a failed call, IndexFileError for a file that is not
// an intact index file.
FileHeader read_index_file(const std::string& path, std::vector<std::uint8_t>& codes);

}  // namespace brimel::detail
