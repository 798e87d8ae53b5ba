// File operations of the writers, each one checked: writes and kernel copies
// that loop on short counts, flushes, and a new file made beside its final
// name, flushed, given that name only if nothing has it, and its folder
// flushed, so readers see nothing or everything.
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

// OUT split at its last '/': the folder ("." when none) and the name.
struct OutPath {
    std::string folder, name;
};
// False when the path names no file ("", a trailing '/', "." or "..").
bool SplitOutPath(const std::string& path, OutPath& out);

// Removes the temporary files of runs for the same name that were killed:
// only files whose name has this program's pattern for `name`, whose lock
// is free and whose process is gone.  Returns how many were removed.
int RemoveStaleTemporaries(int folder, const std::string& name);

// A new file beside `name` in `folder`, named ".NAME.sondrel-PID-XXXXXX" and
// locked while this process lives, removed unless Publish succeeds.
class TemporaryFile
{
  public:
    TemporaryFile(int folder, std::string name);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates the file; returns 0 or errno.
    int Create();
    int fd() const { return fd_; }
    // The temporary file's name in the folder.
    const std::string& name() const { return temporary_; }
    // Flushes the file, gives it the final name unless something has that
    // name (renameat2 RENAME_NOREPLACE, or link and unlink where the file
    // system refuses it) and flushes the folder.  Returns 0 or errno, with
    // *step naming the failed step; *published is true once the final name
    // holds the file, even when a later step failed.
    int Publish(const char** step, bool* published);
    // The same, but the final name's file is replaced in one rename.
    int Replace(const char** step, bool* published);

  private:
    void Remove();

    int folder_;
    std::string final_;
    std::string temporary_;
    int fd_ = -1;
    bool published_ = false;
};

} // namespace sondrel
