// Index files: the header, the checksum and the file I/O.
#include "index_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "io/atomic_file.hpp"

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

// A file descriptor closed on every path out; a failed close after writing
// is reported by close_checked.
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
    void close_checked() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw_errno();
    }

    void write_all(ByteSpan bytes) {
        while (!bytes.empty()) {
            // At most 1 GiB per call: some systems refuse larger writes.
            const ssize_t done = ::write(fd_, bytes.data(), std::min<std::size_t>(bytes.size(), 1u << 30));
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) throw_errno();
            bytes = bytes.subspan(static_cast<std::size_t>(done));
        }
    }

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

void check_checksum(const FileHeader& header, ByteSpan header_bytes, ByteSpan codes, ByteSpan stored) {
    if (file_checksum(header_bytes, codes) != load_le(stored.data(), 8))
        refuse("checksum mismatch: the file is corrupted (header of n = " + std::to_string(header.n) +
               " rows of " + std::to_string(header.d_bytes) + " bytes)");
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

std::vector<std::uint8_t> encode_header(const FileHeader& header) {
    std::vector<std::uint8_t> bytes(kHeaderBytes);
    std::copy(kMagic.begin(), kMagic.end(), bytes.begin());
    store_le(bytes.data() + 8, kFileVersion, 4);
    store_le(bytes.data() + 12, header.k, 4);
    store_le(bytes.data() + 16, header.d_bytes, 8);
    store_le(bytes.data() + 24, header.n, 8);
    return bytes;
}

std::uint64_t file_checksum(ByteSpan header_bytes, ByteSpan codes) noexcept {
    return xxh64(codes, xxh64(header_bytes, 0));
}

FileHeader decode_header(ByteSpan header_bytes, std::uint64_t file_bytes) {
    const std::uint64_t least = kHeaderBytes + kChecksumBytes;
    if (header_bytes.size() < kHeaderBytes || file_bytes < least) {
        // The start of the magic (or all of it): the start of an index file.
        const std::size_t seen = std::min(header_bytes.size(), kMagic.size());
        const bool ours = seen > 0 && std::equal(kMagic.begin(), kMagic.begin() + seen, header_bytes.begin());
        refuse(ours ? "truncated: " + std::to_string(file_bytes) + " bytes, less than the " +
                          std::to_string(least) + " of an empty index"
                    : "not an index file (" + std::to_string(file_bytes) + " bytes, no index header)");
    }
    const std::uint8_t* bytes = header_bytes.data();
    if (!std::equal(kMagic.begin(), kMagic.end(), bytes))
        refuse("not an index file (its first bytes are not the magic \"BRIMELIX\")");
    const auto version = static_cast<std::uint32_t>(load_le(bytes + 8, 4));
    if (version != kFileVersion)
        refuse("format version " + std::to_string(version) +
               " is not supported (this release reads version " + std::to_string(kFileVersion) +
               (version > kFileVersion ? "; the file is from a newer release)" : ")"));
    FileHeader header;
    header.k = static_cast<std::uint32_t>(load_le(bytes + 12, 4));
    header.d_bytes = load_le(bytes + 16, 8);
    header.n = load_le(bytes + 24, 8);
    if (header.d_bytes == 0) refuse("bad header: d_bytes is 0");
    if (header.n > kMaxRows)
        refuse("bad header: n (" + std::to_string(header.n) + ") is above the limit of 4294967295 rows");
    // Bytes left for the codes; n * d_bytes is compared with it by division,
    // since a crafted header may make the product overflow.
    const std::uint64_t room = file_bytes - least;
    const bool fits = header.n == 0 || header.d_bytes <= room / header.n;
    if (!fits || header.code_bytes() != room) {
        const bool representable = header.n == 0 || header.d_bytes <= (~std::uint64_t{0} - least) / header.n;
        refuse(std::string(fits ? "trailing bytes: " : "truncated: ") + "the header declares n = " +
               std::to_string(header.n) + " rows of d_bytes = " + std::to_string(header.d_bytes) + " (" +
               (representable ? std::to_string(header.file_bytes()) + " bytes" : "more than 2^64 bytes") +
               "), the file has " + std::to_string(file_bytes) + " bytes");
    }
    return header;
}

FileHeader check_index_bytes(ByteSpan bytes) {
    const FileHeader header =
        decode_header(bytes.first(std::min<std::size_t>(bytes.size(), kHeaderBytes)), bytes.size());
    check_checksum(header, bytes.first(kHeaderBytes), bytes.subspan(kHeaderBytes, header.code_bytes()),
                   bytes.last(kChecksumBytes));
    return header;
}

void write_index_file(const std::string& path, const FileHeader& header, ByteSpan codes) {
    const std::vector<std::uint8_t> head = encode_header(header);
    std::array<std::uint8_t, kChecksumBytes> sum;
    store_le(sum.data(), file_checksum(head, codes), 8);
    AtomicFile file(path);
    file.write(head);
    file.write(codes);
    file.write(sum);
    file.commit();
}

FileHeader read_index_file(const std::string& path, std::vector<std::uint8_t>& codes) {
    File file(path, O_RDONLY);
    struct stat status;
    if (::fstat(file.fd(), &status) != 0) throw_errno();
    const auto size = static_cast<std::uint64_t>(status.st_size);
    std::array<std::uint8_t, kHeaderBytes> head{};
    const std::size_t head_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderBytes));
    if (!file.read_all({head.data(), head_size})) refuse("truncated while reading: the file shrank");
    const FileHeader header = decode_header({head.data(), head_size}, size);
    codes.resize(header.code_bytes());
    std::array<std::uint8_t, kChecksumBytes> sum;
    if (!file.read_all(codes) || !file.read_all(sum)) refuse("truncated while reading: the file shrank");
    check_checksum(header, head, codes, sum);
    return header;
}

}  // namespace brimel::detail
