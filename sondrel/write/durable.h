// File operations of the writers, each one checked: opens of regular files,
// writes and kernel copies that loop on short counts, flushes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/stat.h>

namespace sondrel {

// A descriptor closed when it goes out of scope.
struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();
};

// Opens `path` with `flags` (O_RDONLY or O_RDWR; never blocking on a FIFO)
// and fills `st`: a regular file, whose bytes can be read by offset.  Returns
// why it is not, or "".
std::string OpenRegular(const std::string& path, int flags, Descriptor& file, struct stat& st);

// Opens `path` for writing as OpenRegular does and locks it for the run: two
// runs on one file must not interleave their writes.  The lock is the open
// file's (F_OFD_SETLK), so it goes with the descriptor and holds between
// threads.  Returns why it could not, or "".
std::string OpenAndLock(const std::string& path, Descriptor& file, struct stat& st);

// Writes all of `bytes` at `offset`.  Returns 0 or errno.
int WriteAllAt(int fd, const void* bytes, size_t count, uint64_t offset);

// Copies `count` bytes of `in` at `from` to `out` at `to`, in the kernel
// (copy_file_range) or, where it cannot, through a buffer.  Holes of `in`
// are skipped, never read, and stay holes in `out` (one at the end only once
// `out` is made long enough).  `report`, when set, hears the bytes of the
// range copied so far.  Returns 0 or errno; ENODATA when `in` ends early.
int CopyRange(int in, uint64_t from, int out, uint64_t to, uint64_t count,
              const std::function<void(uint64_t)>& report = {});

// Flushes a file or folder to disk.  Returns 0 or errno.
int Flush(int fd);

// Gives `to` the extended attributes of `from`, ACLs among them, and takes
// from it those `from` lacks (a default ACL of the folder): a file rewritten
// under its name keeps what users and tools attached to it and grants no
// more than it did.  The trusted and security ones this process may not set
// are passed over (the system gives the new file its own).  Returns 0 or
// errno.
int CopyExtendedAttributes(int from, int to);

} // namespace sondrel
