// Checked file operations for the writers.
#include "write/durable.h"

#include "io.h"
#include "status.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <functional>
#include <fcntl.h>
#include <limits>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sondrel {

namespace
{

constexpr size_t BufferBytes = 1 << 20;
// Per copy_file_range call: small enough for a progress line to move.
constexpr uint64_t KernelCopyBytes = 64 << 20;

// copy_file_range refuses across file systems on older kernels (EXDEV),
// for special files and some file systems (EINVAL, EOPNOTSUPP), or is
// missing (ENOSYS): the bytes then go through a buffer.
bool KernelCannotCopy(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Bytes of the range copied so far, for a progress line: `at` is the input
// offset reached.
struct CopyProgress {
    const std::function<void(uint64_t)>& report;
    uint64_t from;
    void At(uint64_t at) const
    {
        if (report)
            report(at - from);
    }
};

int CopyThroughBuffer(int in, uint64_t from, int out, uint64_t to, uint64_t count,
                      const CopyProgress& progress)
{
    std::vector<unsigned char> buffer(static_cast<size_t>(std::min<uint64_t>(count, BufferBytes)));
    uint64_t done = 0;
    while (done < count) {
        const size_t ask = static_cast<size_t>(std::min<uint64_t>(buffer.size(), count - done));
        int error = 0;
        const size_t got = ReadAt(in, from + done, buffer.data(), ask, &error);
        if (error != 0)
            return error;
        if (got == 0)
            return ENODATA;
        if (const int e = WriteAllAt(out, buffer.data(), got, to + done))
            return e;
        done += got;
        progress.At(from + done);
    }
    return 0;
}

int CopySegment(int in, uint64_t from, int out, uint64_t to, uint64_t count,
                const CopyProgress& progress)
{
    uint64_t done = 0;
    while (done < count) {
        auto inAt = static_cast<loff_t>(from + done);
        auto outAt = static_cast<loff_t>(to + done);
        const auto ask = static_cast<size_t>(std::min(count - done, KernelCopyBytes));
        const ssize_t n = copy_file_range(in, &inAt, out, &outAt, ask, 0);
        if (n > 0) {
            done += static_cast<uint64_t>(n);
            progress.At(from + done);
        } else if (n == 0) {
            return ENODATA;
        } else if (errno != EINTR) {
            if (KernelCannotCopy(errno))
                return CopyThroughBuffer(in, from + done, out, to + done, count - done,
                                         progress);
            return errno;
        }
    }
    return 0;
}

std::string TemporaryPrefix(const std::string& name)
{
    // Room for the pattern within a name's 255 bytes.
    std::string prefix = ".";
    prefix.append(name, 0, 200);
    prefix += ".sondrel-";
    return prefix;
}

constexpr size_t SuffixLength = 6;

bool IsAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The pid of a name "PREFIX<pid>-XXXXXX", or 0 when it has another form.
pid_t TemporaryOwner(const std::string& entry, const std::string& prefix)
{
    if (entry.compare(0, prefix.size(), prefix) != 0)
        return 0;
    const size_t dash = entry.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash - prefix.size() > 9 ||
        entry.size() != dash + 1 + SuffixLength)
        return 0;
    for (size_t i = prefix.size(); i < dash; i++)
        if (entry[i] < '0' || entry[i] > '9')
            return 0;
    if (!std::all_of(entry.begin() + static_cast<long>(dash) + 1, entry.end(), IsAlnum))
        return 0;
    return static_cast<pid_t>(std::stol(entry.substr(prefix.size(), dash - prefix.size())));
}

// A killed run's file: a regular file whose lock nobody holds and whose
// process is gone (both: the lock is taken just after the file is made).
bool IsStale(int folder, const std::string& entry, pid_t owner)
{
    if (owner == getpid())
        return false;
    const int fd = openat(folder, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {
    };
    const bool stale = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       flock(fd, LOCK_EX | LOCK_NB) == 0 && kill(owner, 0) != 0 && errno == ESRCH;
    close(fd);
    return stale;
}

std::string RandomSuffix()
{
    static constexpr char Letters[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    unsigned char random[SuffixLength] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        for (size_t i = 0; i < SuffixLength; i++)
            random[i] = static_cast<unsigned char>(rand());
    std::string s;
    for (unsigned char r : random)
        s += Letters[r % (sizeof Letters - 1)];
    return s;
}

} // namespace

Descriptor::~Descriptor()
{
    if (fd >= 0)
        close(fd);
}

std::string OpenRegular(const std::string& path, int flags, Descriptor& file, struct stat& st)
{
    file.fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0)
        return Reason(
            flags == O_RDWR ? "Can't open file for writing" : "Can't open file for reading", errno);
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Reason("Can't read file", S_ISDIR(st.st_mode) ? EISDIR : ESPIPE);
    return "";
}

std::string OpenAndLock(const std::string& path, Descriptor& file, struct stat& st)
{
    if (std::string why = OpenRegular(path, O_RDWR, file, st); !why.empty())
        return why;
    struct flock lock {
    };
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(file.fd, F_OFD_SETLK, &lock) != 0) {
        const int e = errno;
        return e == EAGAIN || e == EACCES ? "The file is locked by another run"
                                          : Reason("Can't lock the file", e);
    }
    return "";
}

int WriteAllAt(int fd, const void* bytes, size_t count, uint64_t offset)
{
    const auto* p = static_cast<const unsigned char*>(bytes);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = pwrite(fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int CopyRange(int in, uint64_t from, int out, uint64_t to, uint64_t count,
              const std::function<void(uint64_t)>& report)
{
    const CopyProgress progress{report, from};
    struct stat st {
    };
    if (fstat(in, &st) != 0)
        return errno;
    if (static_cast<uint64_t>(st.st_size) < from + count)
        return ENODATA;
    const uint64_t end = from + count;
    uint64_t at = from;
    while (at < end) {
        const off_t data = lseek(in, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            return 0; // a hole to the end: `out` reads zeros there already
        if (data < 0) // no hole support: all of it is data
            return CopySegment(in, at, out, to + (at - from), end - at, progress);
        if (static_cast<uint64_t>(data) >= end)
            return 0;
        const off_t hole = lseek(in, data, SEEK_HOLE);
        const uint64_t stop = hole < 0 ? end : std::min(static_cast<uint64_t>(hole), end);
        const auto start = static_cast<uint64_t>(data);
        if (const int e =
                CopySegment(in, start, out, to + (start - from), stop - start, progress))
            return e;
        at = stop;
    }
    return 0;
}

int Flush(int fd)
{
    return fsync(fd) == 0 ? 0 : errno;
}

bool SplitOutPath(const std::string& path, OutPath& out)
{
    const size_t slash = path.rfind('/');
    out.folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    out.name = slash == std::string::npos ? path : path.substr(slash + 1);
    return !out.name.empty() && out.name != "." && out.name != "..";
}

int RemoveStaleTemporaries(int folder, const std::string& name)
{
    const int listing = dup(folder);
    DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
    if (!dir) {
        if (listing >= 0)
            close(listing);
        return 0; // a folder that cannot be listed has nothing we can find
    }
    const std::string prefix = TemporaryPrefix(name);
    std::vector<std::string> stale;
    while (const dirent* e = readdir(dir)) {
        const std::string entry = e->d_name;
        const pid_t owner = TemporaryOwner(entry, prefix);
        if (owner > 0 && IsStale(folder, entry, owner))
            stale.push_back(entry);
    }
    closedir(dir);
    int removed = 0;
    for (const std::string& entry : stale)
        removed += unlinkat(folder, entry.c_str(), 0) == 0 ? 1 : 0;
    return removed;
}

TemporaryFile::TemporaryFile(int folder, std::string name)
    : folder_(folder), final_(std::move(name))
{
}

TemporaryFile::~TemporaryFile()
{
    Remove();
}

void TemporaryFile::Remove()
{
    if (!published_ && !temporary_.empty())
        unlinkat(folder_, temporary_.c_str(), 0);
    temporary_.clear();
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

int TemporaryFile::Create()
{
    const std::string stem = TemporaryPrefix(final_) + std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string candidate = stem + RandomSuffix();
        fd_ = openat(folder_, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno == EEXIST)
            continue;
        if (fd_ < 0)
            return errno;
        temporary_ = candidate;
        // Held until the process ends: a later run sees this file is not stale.
        if (flock(fd_, LOCK_EX) != 0) {
            const int e = errno;
            Remove();
            return e;
        }
        return 0;
    }
    return EEXIST;
}

int TemporaryFile::Publish(const char** step, bool* published)
{
    *published = false;
    *step = "flush";
    if (const int e = Flush(fd_))
        return e;
    *step = "rename";
    if (renameat2(folder_, temporary_.c_str(), folder_, final_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return errno;
        // The file system cannot rename without replacing: a link fails
        // just the same when the name is taken.
        *step = "link";
        if (linkat(folder_, temporary_.c_str(), folder_, final_.c_str(), 0) != 0)
            return errno;
        published_ = *published = true;
        *step = "unlink";
        if (unlinkat(folder_, temporary_.c_str(), 0) != 0)
            return errno;
    }
    published_ = *published = true;
    temporary_.clear();
    *step = "flush folder";
    return Flush(folder_);
}

int TemporaryFile::Replace(const char** step, bool* published)
{
    *published = false;
    *step = "flush";
    if (const int e = Flush(fd_))
        return e;
    *step = "rename";
    if (renameat(folder_, temporary_.c_str(), folder_, final_.c_str()) != 0)
        return errno;
    published_ = *published = true;
    temporary_.clear();
    *step = "flush folder";
    return Flush(folder_);
}

} // namespace sondrel
