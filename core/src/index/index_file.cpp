// Index files: both format versions, the checksum and the file I/O.
#include "index_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "../io/atomic_file.hpp"
#include "brimel/errors.hpp"
#include "segment.hpp"

namespace brimel::detail {
namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'B', 'R', 'I', 'M', 'E', 'L', 'I', 'X'};

std::uint64_t load_le(const std::uint8_t* bytes, int width) noexcept {
    std::uint64_t value = 0;
    for (int b = width; b-- > 0;) value = (value << 8) | bytes[b];
    return value;
}

void store_le(std::uint8_t* bytes, std::uint64_t value, int width) noexcept {
    for (int b = 0; b < width; ++b) bytes[b] = static_cast<std::uint8_t>(value >> (8 * b));
}

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

constexpr std::uint64_t rotl(std::uint64_t x, int r) noexcept { return (x << r) | (x >> (64 - r)); }

constexpr std::uint64_t round(std::uint64_t acc, std::uint64_t input) noexcept {
    return rotl(acc + input * kPrime2, 31) * kPrime1;
}

constexpr std::uint64_t merge_round(std::uint64_t acc, std::uint64_t value) noexcept {
    return (acc ^ round(0, value)) * kPrime1 + kPrime4;
}

[[noreturn]] void throw_errno() { throw std::system_error(errno, std::generic_category()); }

// A file descriptor for reading, closed on every path out.
class File {
public:
    File(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0666)) {
        if (fd_ < 0) throw_errno();
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const noexcept { return fd_; }
    // Fills `out`; false when the file ends first (it changed since fstat).
    bool read_all(std::span<std::uint8_t> out) {
        while (!out.empty()) {
            const ssize_t done = ::read(fd_, out.data(), std::min<std::size_t>(out.size(), 1u << 30));
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) throw_errno();
            if (done == 0) return false;
            out = out.subspan(static_cast<std::size_t>(done));
        }
        return true;
    }

private:
    int fd_;
};

[[noreturn]] void refuse(const std::string& what) { throw IndexFileError(what); }

constexpr std::uint64_t kHeadBytes = 64;
constexpr std::uint64_t kEntryBytes = 64;
constexpr std::uint64_t kV1HeaderBytes = 32;
constexpr std::uint64_t kV1ChecksumBytes = 8;

constexpr std::uint64_t round64(std::uint64_t bytes) { return (bytes + 63) / 64 * 64; }

std::string number(std::uint64_t value) { return std::to_string(value); }

// An aligned copy of `bytes` (segment images are read in 8-byte words).
std::pair<std::shared_ptr<const void>, ByteSpan> aligned_copy(ByteSpan bytes) {
    const std::shared_ptr<std::uint8_t[]> buffer = image_buffer(bytes.size());
    std::uint8_t* data = buffer.get();
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return {std::shared_ptr<const void>(buffer, buffer.get()), {data, bytes.size()}};
}

// ---- version 1 ----------------------------------------------------------

// The 32 header bytes of a version 1 file of `file_bytes` bytes in all: its
// rows, once the file size matches what they declare.
std::uint64_t decode_v1(ByteSpan bytes, std::uint64_t file_bytes, std::uint64_t& d_bytes, std::uint32_t& k) {
    const std::uint64_t least = kV1HeaderBytes + kV1ChecksumBytes;
    const std::uint8_t* head = bytes.data();
    if (bytes.size() < kV1HeaderBytes || file_bytes < least)
        refuse("truncated: " + number(file_bytes) + " bytes, less than the " + number(least) +
               " of an empty index");
    k = static_cast<std::uint32_t>(load_le(head + 12, 4));
    d_bytes = load_le(head + 16, 8);
    const std::uint64_t n = load_le(head + 24, 8);
    if (d_bytes == 0) refuse("bad header: d_bytes is 0");
    if (!rows_fit_ids(n)) refuse("bad header: n (" + number(n) + ") is above the limit of 4294967295 rows");
    // Bytes left for the codes; n * d_bytes is compared with it by division,
    // since a crafted header may make the product overflow.
    const std::uint64_t room = file_bytes - least;
    const bool fits = n == 0 || d_bytes <= room / n;
    if (!fits || n * d_bytes != room) {
        const bool representable = n == 0 || d_bytes <= (~std::uint64_t{0} - least) / n;
        refuse(std::string(fits ? "trailing bytes: " : "truncated: ") +
               "the header declares n = " + number(n) + " rows of d_bytes = " + number(d_bytes) + " (" +
               (representable ? number(least + n * d_bytes) + " bytes" : "more than 2^64 bytes") +
               "), the file has " + number(file_bytes) + " bytes");
    }
    return n;
}

SavedIndex parse_v1(ByteSpan file, std::shared_ptr<const void> owner) {
    SavedIndex index;
    index.next_id = decode_v1(file, file.size(), index.d_bytes, index.k);
    index.codes = file.subspan(kV1HeaderBytes, index.next_id * index.d_bytes);
    const std::uint64_t sum = xxh64(index.codes, xxh64(file.first(kV1HeaderBytes), 0));
    if (sum != load_le(file.data() + file.size() - kV1ChecksumBytes, 8))
        refuse("checksum mismatch: the file is corrupted (header of n = " + number(index.next_id) +
               " rows of " + number(index.d_bytes) + " bytes)");
    index.owner = std::move(owner);
    return index;
}

// ---- version 2 ----------------------------------------------------------

struct Entry {
    std::uint64_t image_at, image_bytes, image_sum, removed_at, removed_bytes, removed_sum, live, zero;
};
static_assert(sizeof(Entry) == kEntryBytes);

// Where each section goes, in file order.
std::vector<Entry> lay_out(const SavedIndex& index, std::uint64_t& total) {
    std::vector<Entry> entries;
    std::uint64_t at = kHeadBytes + kEntryBytes * index.segments.size();
    for (const SavedSegment& s : index.segments) {
        Entry e{};
        e.image_at = at = round64(at);
        e.image_bytes = s.image.size();
        at += s.image.size();
        if (!s.removed.empty()) {
            e.removed_at = at = round64(at);
            e.removed_bytes = s.removed.size();
            at += s.removed.size();
        }
        e.live = s.live;
        entries.push_back(e);
    }
    total = at;
    return entries;
}

// The head and table of contents of `index`, checksums included.
std::vector<std::uint8_t> front_matter(const SavedIndex& index, std::uint64_t& total) {
    std::vector<Entry> entries = lay_out(index, total);
    for (std::size_t s = 0; s < entries.size(); ++s) {
        entries[s].image_sum = xxh64(index.segments[s].image, 0);
        entries[s].removed_sum = xxh64(index.segments[s].removed, 0);
    }
    std::vector<std::uint8_t> front(kHeadBytes + kEntryBytes * entries.size());
    if (!entries.empty())
        std::memcpy(front.data() + kHeadBytes, entries.data(), kEntryBytes * entries.size());
    std::uint8_t* head = front.data();
    std::copy(kMagic.begin(), kMagic.end(), head);
    store_le(head + 8, kFileVersion, 4);
    store_le(head + 12, index.k, 4);
    store_le(head + 16, index.d_bytes, 8);
    store_le(head + 24, index.next_id, 8);
    store_le(head + 32, entries.size(), 8);
    store_le(head + 40, xxh64(ByteSpan(front).subspan(kHeadBytes), 0), 8);
    store_le(head + 48, total, 8);
    store_le(head + 56, xxh64({head, 56}, 0), 8);
    return front;
}

bool within(std::uint64_t at, std::uint64_t bytes, std::uint64_t first, std::uint64_t size) {
    return at >= first && at % 64 == 0 && at <= size && bytes <= size - at;
}

SavedIndex parse_v2(ByteSpan file, std::shared_ptr<const void> owner, bool check_sections) {
    const std::uint64_t size = file.size();
    if (size < kHeadBytes)
        refuse("truncated: " + number(size) + " bytes, less than the " + number(kHeadBytes) +
               " of an index head");
    const std::uint8_t* head = file.data();
    if (xxh64({head, 56}, 0) != load_le(head + 56, 8))
        refuse("checksum mismatch: the file's head is corrupted");
    const std::uint64_t declared = load_le(head + 48, 8);
    if (declared != size)
        refuse(std::string(declared > size ? "truncated: " : "trailing bytes: ") + "the head declares " +
               number(declared) + " bytes, the file has " + number(size) + " bytes");
    SavedIndex index;
    index.k = static_cast<std::uint32_t>(load_le(head + 12, 4));
    index.d_bytes = load_le(head + 16, 8);
    index.next_id = load_le(head + 24, 8);
    const std::uint64_t segments = load_le(head + 32, 8);
    if (index.d_bytes == 0) refuse("bad header: d_bytes is 0");
    if (!rows_fit_ids(index.next_id))
        refuse("bad header: next id (" + number(index.next_id) + ") is above the limit of 4294967295 rows");
    if (segments > (size - kHeadBytes) / kEntryBytes)
        refuse("truncated: the head declares " + number(segments) + " segments, more than the file holds");
    const ByteSpan toc = file.subspan(kHeadBytes, kEntryBytes * segments);
    if (xxh64(toc, 0) != load_le(head + 40, 8))
        refuse("checksum mismatch: the table of contents is corrupted");
    const std::uint64_t first = kHeadBytes + toc.size();
    std::uint64_t at = first;
    std::uint64_t live = 0;
    for (std::uint64_t s = 0; s < segments; ++s) {
        Entry e;
        std::memcpy(&e, toc.data() + s * kEntryBytes, kEntryBytes);
        // Sections follow each other without a gap, each a whole number of
        // 64-byte blocks, so that every byte of the file is under a checksum.
        if (e.image_at != at || !within(e.image_at, e.image_bytes, first, size) || e.image_bytes % 64 != 0 ||
            (e.removed_bytes != 0 &&
             (e.removed_at != at + e.image_bytes || !within(e.removed_at, e.removed_bytes, first, size))) ||
            e.removed_bytes % 64 != 0)
            refuse("bad table of contents: segment " + number(s) + " lies outside its place in the file");
        at = e.image_at + e.image_bytes + e.removed_bytes;
        SavedSegment saved{file.subspan(e.image_at, e.image_bytes),
                           e.removed_bytes ? file.subspan(e.removed_at, e.removed_bytes) : ByteSpan{},
                           e.live};
        if (check_sections &&
            (xxh64(saved.image, 0) != e.image_sum || xxh64(saved.removed, 0) != e.removed_sum))
            refuse("checksum mismatch: segment " + number(s) + " is corrupted");
        live += e.live;
        if (live > index.next_id) refuse("bad table of contents: more live rows than ids issued");
        index.segments.push_back(saved);
    }
    if (at != size)
        refuse("trailing bytes: the sections end at " + number(at) + ", the file has " + number(size) +
               " bytes");
    index.owner = std::move(owner);
    return index;
}

// The format version of a file starting with `bytes` (of `file_bytes` in all).
std::uint32_t version_of(ByteSpan bytes, std::uint64_t file_bytes) {
    if (bytes.size() < 12) {
        // The start of the magic (or all of it): the start of an index file.
        const std::size_t seen = std::min(bytes.size(), kMagic.size());
        const bool ours = seen > 0 && std::equal(kMagic.begin(), kMagic.begin() + seen, bytes.begin());
        refuse(ours ? "truncated: " + number(file_bytes) + " bytes, less than the " +
                          number(kV1HeaderBytes + kV1ChecksumBytes) + " of an empty index"
                    : "not an index file (" + number(file_bytes) + " bytes, no index header)");
    }
    if (!std::equal(kMagic.begin(), kMagic.end(), bytes.begin()))
        refuse("not an index file (its first bytes are not the magic \"BRIMELIX\")");
    const auto version = static_cast<std::uint32_t>(load_le(bytes.data() + 8, 4));
    if (version != 1 && version != kFileVersion)
        refuse("format version " + number(version) + " is not supported (this release reads versions 1 and " +
               number(kFileVersion) + (version > kFileVersion ? "; the file is from a newer release)" : ")"));
    return version;
}

SavedIndex parse(ByteSpan file, std::shared_ptr<const void> owner, bool check_sections) {
    return version_of(file.first(std::min<std::size_t>(file.size(), 12)), file.size()) == 1
               ? parse_v1(file, std::move(owner))
               : parse_v2(file, std::move(owner), check_sections);
}

}  // namespace

std::uint64_t xxh64(ByteSpan bytes, std::uint64_t seed) noexcept {
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    std::uint64_t h;
    if (bytes.size() >= 32) {
        std::uint64_t v1 = seed + kPrime1 + kPrime2, v2 = seed + kPrime2, v3 = seed, v4 = seed - kPrime1;
        for (; end - p >= 32; p += 32) {
            v1 = round(v1, load_le(p, 8));
            v2 = round(v2, load_le(p + 8, 8));
            v3 = round(v3, load_le(p + 16, 8));
            v4 = round(v4, load_le(p + 24, 8));
        }
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
        h = merge_round(merge_round(merge_round(merge_round(h, v1), v2), v3), v4);
    } else {
        h = seed + kPrime5;
    }
    h += bytes.size();
    for (; end - p >= 8; p += 8) h = rotl(h ^ round(0, load_le(p, 8)), 27) * kPrime1 + kPrime4;
    if (end - p >= 4) {
        h = rotl(h ^ (load_le(p, 4) * kPrime1), 23) * kPrime2 + kPrime3;
        p += 4;
    }
    for (; p < end; ++p) h = rotl(h ^ (*p * kPrime5), 11) * kPrime1;
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}

std::uint64_t encoded_size(const SavedIndex& index) {
    std::uint64_t total = 0;
    lay_out(index, total);
    return total;
}

void encode(const SavedIndex& index, std::span<std::uint8_t> out) {
    std::uint64_t total = 0;
    const std::vector<std::uint8_t> front = front_matter(index, total);
    assert_equal(out.size(), total, "index image length mismatch");
    std::fill(out.begin(), out.end(), 0);
    std::copy(front.begin(), front.end(), out.begin());
    const std::vector<Entry> entries = lay_out(index, total);
    for (std::size_t s = 0; s < entries.size(); ++s) {
        std::copy(index.segments[s].image.begin(), index.segments[s].image.end(),
                  out.begin() + entries[s].image_at);
        std::copy(index.segments[s].removed.begin(), index.segments[s].removed.end(),
                  out.begin() + entries[s].removed_at);
    }
}

void write_index_file(const std::string& path, const SavedIndex& index) {
    std::uint64_t total = 0;
    const std::vector<std::uint8_t> front = front_matter(index, total);
    const std::vector<Entry> entries = lay_out(index, total);
    static constexpr std::array<std::uint8_t, 64> kZeros{};
    AtomicFile file(path);
    file.write(front);
    std::uint64_t at = front.size();
    const auto put = [&](std::uint64_t offset, ByteSpan bytes) {
        file.write(ByteSpan(kZeros).first(offset - at));
        file.write(bytes);
        at = offset + bytes.size();
    };
    for (std::size_t s = 0; s < entries.size(); ++s) {
        put(entries[s].image_at, index.segments[s].image);
        if (!index.segments[s].removed.empty()) put(entries[s].removed_at, index.segments[s].removed);
    }
    file.commit();
}

SavedIndex read_index_file(const std::string& path, bool map) {
    File file(path, O_RDONLY);
    struct stat status;
    if (::fstat(file.fd(), &status) != 0) throw_errno();
    const auto size = static_cast<std::uint64_t>(status.st_size);
    std::array<std::uint8_t, 12> start{};
    const auto seen = static_cast<std::size_t>(std::min<std::uint64_t>(size, start.size()));
    if (!file.read_all({start.data(), seen})) refuse("truncated while reading: the file shrank");
    const std::uint32_t version = version_of({start.data(), seen}, size);
    if (map && version == kFileVersion && size >= kHeadBytes) {
        void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd(), 0);
        if (mapped == MAP_FAILED) throw_errno();
        std::shared_ptr<const void> owner(mapped,
                                          [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
        return parse_v2({static_cast<const std::uint8_t*>(mapped), size}, std::move(owner), false);
    }
    // The bytes read so far, and for version 1 the rest of its header first,
    // so that a crafted size is refused before the codes are allocated.
    std::array<std::uint8_t, kV1HeaderBytes> head{};
    std::copy(start.begin(), start.begin() + seen, head.begin());
    std::size_t consumed = seen;
    if (version == 1) {
        consumed = static_cast<std::size_t>(std::min<std::uint64_t>(size, kV1HeaderBytes));
        if (consumed > seen && !file.read_all({head.data() + seen, consumed - seen}))
            refuse("truncated while reading: the file shrank");
        std::uint64_t d_bytes = 0;
        std::uint32_t k = 0;
        decode_v1({head.data(), consumed}, size, d_bytes, k);
    } else if (size < kHeadBytes) {
        refuse("truncated: " + number(size) + " bytes, less than the " + number(kHeadBytes) +
               " of an index head");
    }
    const std::shared_ptr<std::uint8_t[]> buffer = image_buffer(size);
    std::uint8_t* data = buffer.get();
    std::copy(head.begin(), head.begin() + consumed, data);
    if (!file.read_all({data + consumed, size - consumed}))
        refuse("truncated while reading: the file shrank");
    return parse({data, size}, std::shared_ptr<const void>(buffer, buffer.get()), true);
}

SavedIndex decode_index_bytes(ByteSpan bytes) {
    version_of(bytes.first(std::min<std::size_t>(bytes.size(), 12)), bytes.size());
    auto [owner, copy] = aligned_copy(bytes);
    return parse(copy, std::move(owner), true);
}

}  // namespace brimel::detail
