// The index file: the stored segments of an Index or a Bank, framed so that a
// reader can tell a whole, intact file of a version it knows from anything
// else before it trusts a single field, and laid out so that a reader can map
// the segments and answer queries from the file as it is.
//
// Version 2 (written), all integers little-endian, offsets and sizes in bytes:
//   offset  size  field
//        0     8  magic "BRIMELIX"
//        8     4  format version, u32 (2)
//       12     4  k, u32
//       16     8  d_bytes, u64 (>= 1)
//       24     8  next id, u64 (<= 4294967295): ids issued so far
//       32     8  segments, u64 (s)
//       40     8  XXH64 (seed 0) of the table of contents
//       48     8  file size, u64
//       56     8  XXH64 (seed 0) of bytes 0 .. 55
//       64  64*s  table of contents, one entry per segment:
//                   u64 image offset, u64 image size, u64 XXH64 of the image,
//                   u64 removed-rows offset, u64 removed-rows size (8 per 64
//                   rows, or 0 when none is removed), u64 XXH64 of them,
//                   u64 live rows, u64 zero
//   then the segment images (segment.hpp) and removed-rows bitmaps, each at
//   a multiple of 64 bytes, in table order, with zero padding between.
//
// Version 1 (read only): 32 header bytes (magic, version 1, k, d_bytes, n),
// the n * d_bytes codes, and an XXH64 checksum of the codes seeded with the
// XXH64 of the header. Its tables are built on reading.
//
// A reader checks the head's checksum and the file size first, then the table
// of contents, then every section's bounds, before it allocates anything
// sized by the file. Reading a file checks every section's checksum; mapping
// one checks the head and the table of contents only (so that a large bank
// opens at once), and relies on segments never reading outside their images.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brimel/index.hpp"
#include "brimel/types.hpp"

namespace brimel::detail {

inline constexpr std::uint32_t kFileVersion = 2;

// XXH64 of `bytes` with `seed` (the published algorithm, bit for bit).
std::uint64_t xxh64(ByteSpan bytes, std::uint64_t seed) noexcept;

struct SavedSegment {
    ByteSpan image;
    ByteSpan removed;  // empty when no row is removed
    std::uint64_t live = 0;
};

// What a file holds. For a version 1 file: no segments, and `codes` holds
// next_id rows. `owner` keeps the memory the spans point into (a mapping
// or a buffer) alive.
struct SavedIndex {
    std::uint64_t d_bytes = 0;
    std::uint32_t k = 0;
    std::uint64_t next_id = 0;
    std::vector<SavedSegment> segments;
    ByteSpan codes;
    std::shared_ptr<const void> owner;
};

// Size of the version 2 file of `index`, and the file itself written into
// `out` (exactly that size).
std::uint64_t encoded_size(const SavedIndex& index);
void encode(const SavedIndex& index, std::span<std::uint8_t> out);

// Writes the version 2 file of `index` to `path` atomically: a crash, a kill
// or a full disk at any moment leaves the old file or the new one. Throws
// std::system_error with the errno of a failed call.
void write_index_file(const std::string& path, const SavedIndex& index);

// Reads (or with `map`, maps) the file at `path`. Throws std::system_error
// for a failed call, IndexFileError for a file that is not an intact index
// file of version 1 or 2.
SavedIndex read_index_file(const std::string& path, bool map);

// The same for a file held in memory; the result refers to a copy.
SavedIndex decode_index_bytes(ByteSpan bytes);

}  // namespace brimel::detail
