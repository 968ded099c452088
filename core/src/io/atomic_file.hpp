// Replacing a file atomically: a reader, a crash or a full disk at any moment
// sees the old file or the new one, whole, never a mix and never neither.
//
// Protocol. The bytes go to a temporary file in the target's directory (so the
// rename below stays within one filesystem):
//     <dir>/.<name>.<16 hex digits>.brimel-tmp
// created with O_EXCL under a fresh random name (mode 0666 less the umask,
// like any created file; an existing target's mode is not carried over).
// commit() then fsyncs the file, renames it over the target (replacing the
// path itself: a symlink there is replaced, not followed) and fsyncs the
// directory, so the rename survives a power loss. Until the rename, the
// target is untouched; two writers racing to one path each write their own
// temporary file, and the last rename wins with one complete file.
//
// Failure. A writer destroyed without commit (an exception, a failed write)
// removes its temporary file. A failure of the directory fsync or of the final
// close is reported although the rename is done: the new file is in place but
// its durability is not confirmed.
//
// Stale temporary files. A writer killed outright (SIGKILL, power loss) leaves
// its temporary file. Each writer holds an exclusive flock(2) on its file
// until it is renamed or removed, and the kernel drops that lock when the
// process dies; so before it writes, a new writer for the same target removes
// the temporary files of that target (exactly the name pattern above, regular
// files of this user) whose lock it can take, that is, of writers that are
// gone. It never touches a file a live writer holds, nor any other name. On a
// filesystem without flock nothing is removed.
//
// Full disk and file size limit. Write errors (ENOSPC, EFBIG, EIO...) are
// std::system_error carrying errno. A write past RLIMIT_FSIZE raises SIGXFSZ,
// whose default action kills the process: write() blocks SIGXFSZ in the
// calling thread while it writes and takes back the one the failed write
// raised, so the write fails with EFBIG whatever the process's disposition
// (the Python interpreter ignores SIGXFSZ anyway; an embedding may not).
#pragma once

#include <string>

#include "brimel/types.hpp"

namespace brimel::detail {

class AtomicFile {
public:
    // Removes the stale temporary files of `target` (above), then creates this
    // writer's own. Throws std::system_error (ENOENT for an empty path, EISDIR
    // for one ending in '/').
    explicit AtomicFile(std::string target);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    // Without a commit: removes the temporary file; the target is untouched.
    ~AtomicFile();

    // Appends `bytes`, looping over short writes and EINTR. Throws
    // std::system_error with the errno of the failed write.
    void write(ByteSpan bytes);

    // fsync, rename over the target, fsync of the directory; at most once, and
    // no write after it. Throws std::system_error.
    void commit();

    const std::string& temp_path() const noexcept { return temp_; }

private:
    std::string target_;
    std::string directory_;
    std::string temp_;
    int fd_ = -1;
    bool renamed_ = false;
};

}  // namespace brimel::detail
