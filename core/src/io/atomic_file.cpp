// Atomic file replacement: temporary file, fsync, rename, directory fsync.
#include "io/atomic_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "brimel/errors.hpp"

namespace brimel::detail {
namespace {

constexpr std::string_view kSuffix = ".brimel-tmp";
constexpr std::size_t kHexDigits = 16;
// Names longer than 255 bytes are refused by every common filesystem: a long
// target name is cut to fit "." + name + "." + 16 digits + suffix.
constexpr std::size_t kMaxNamePart = 255 - 2 - kHexDigits - kSuffix.size();

[[noreturn]] void throw_error(int error) { throw std::system_error(error, std::generic_category()); }
[[noreturn]] void throw_errno() { throw_error(errno); }

// The part of the target name the temporary names carry, and the prefix they
// start with: ".<name>.". Built by appending: GCC 12 reports a false
// -Wrestrict overlap for operator+ here.
std::string temp_prefix(const std::string& name) {
    std::string prefix = ".";
    prefix.append(name, 0, std::min(name.size(), kMaxNamePart));
    prefix += '.';
    return prefix;
}

bool is_temp_name(std::string_view entry, std::string_view prefix) {
    if (entry.size() != prefix.size() + kHexDigits + kSuffix.size() || !entry.starts_with(prefix) ||
        !entry.ends_with(kSuffix))
        return false;
    const std::string_view digits = entry.substr(prefix.size(), kHexDigits);
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// 64 bits that differ between processes, threads and calls: the process id, a
// counter, the clock and a stack address, mixed (SplitMix64's finalizer).
// O_EXCL, not this value, is what keeps two writers apart.
std::string random_digits() {
    static std::atomic<std::uint64_t> counter{0};
    int local = 0;
    std::uint64_t x = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull;
    x ^= counter.fetch_add(1, std::memory_order_relaxed) * 0xBF58476D1CE4E5B9ull;
    x ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= reinterpret_cast<std::uintptr_t>(&local);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    std::string digits(kHexDigits, '0');
    for (std::size_t i = 0; i < kHexDigits; ++i) digits[i] = "0123456789abcdef"[(x >> (4 * i)) & 15];
    return digits;
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int lock(int fd, int operation) noexcept {
    int result;
    while ((result = ::flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return result;
}

// Removes the temporary files named `.<prefix>...` in `directory` whose writer
// is gone: a regular file of this user whose lock can be taken and that is
// still the file at that name. Best effort: whatever fails is left alone.
void remove_stale(const std::string& directory, const std::string& prefix) {
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return;
    const int dir_fd = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (!is_temp_name(entry->d_name, prefix)) continue;
        const int fd = ::openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened, named;
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid() &&
            lock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(opened, named))
            ::unlinkat(dir_fd, entry->d_name, 0);
        ::close(fd);
    }
    ::closedir(listing);
}

}  // namespace

AtomicFile::AtomicFile(std::string target) : target_(std::move(target)) {
    if (target_.empty()) throw_error(ENOENT);
    if (target_.back() == '/') throw_error(EISDIR);
    const std::size_t slash = target_.rfind('/');
    directory_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
    const std::string prefix = temp_prefix(slash == std::string::npos ? target_ : target_.substr(slash + 1));
    remove_stale(directory_, prefix);
    const std::string start = (slash == std::string::npos ? "" : target_.substr(0, slash + 1)) + prefix;
    // A fresh name until one is created; a cleaner may take a new file's
    // lock before its writer does and remove it, so the writer checks, once
    // it holds the lock, that its file still has the name.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = start + random_digits() + std::string(kSuffix);
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno == EEXIST) continue;
        if (fd_ < 0) throw_errno();
        // Without flock support no cleaner can lock it either: nothing to check.
        if (lock(fd_, LOCK_EX) != 0) return;
        struct stat opened, named;
        if (::fstat(fd_, &opened) == 0 && ::stat(temp_.c_str(), &named) == 0 && same_file(opened, named))
            return;
        ::close(fd_);
        fd_ = -1;
    }
    throw_error(EEXIST);
}

AtomicFile::~AtomicFile() {
    if (fd_ < 0) return;
    if (!renamed_) ::unlink(temp_.c_str());
    ::close(fd_);
}

void AtomicFile::write(ByteSpan bytes) {
    if (fd_ < 0 || renamed_) panic("AtomicFile::write after commit");
    sigset_t xfsz, previous;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &xfsz, &previous);
    int error = 0;
    while (!bytes.empty()) {
        // At most 1 GiB per call: some systems refuse larger writes.
        const ssize_t done = ::write(fd_, bytes.data(), std::min<std::size_t>(bytes.size(), 1u << 30));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) {
            error = errno;
            break;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(done));
    }
    if (error == EFBIG && !sigismember(&previous, SIGXFSZ)) {
        // The SIGXFSZ this thread's write raised, pending while blocked.
        const timespec now{0, 0};
        while (sigtimedwait(&xfsz, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) throw_error(error);
}

void AtomicFile::commit() {
    if (fd_ < 0 || renamed_) panic("AtomicFile::commit twice");
    if (::fsync(fd_) != 0) throw_errno();
    // The lock is held through the rename: a cleaner never sees this file
    // unlocked under its temporary name.
    if (::rename(temp_.c_str(), target_.c_str()) != 0) throw_errno();
    renamed_ = true;
    const int dir_fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) throw_errno();
    const int synced = ::fsync(dir_fd);
    const int error = errno;
    ::close(dir_fd);
    if (synced != 0) throw_error(error);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw_errno();
}

}  // namespace brimel::detail
