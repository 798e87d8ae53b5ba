// Checked file operations for the writers.
#include "write/durable.h"

#include "io.h"
#include "status.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
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
                return CopyThroughBuffer(in, from + done, out, to + done, count - done, progress);
            return errno;
        }
    }
    return 0;
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
        if (const int e = CopySegment(in, start, out, to + (start - from), stop - start, progress))
            return e;
        at = stop;
    }
    return 0;
}

int Flush(int fd)
{
    return fsync(fd) == 0 ? 0 : errno;
}

namespace
{

// Reads a list or a value by asking its size first: `get(nullptr, 0)`
// gives the size, `get(buffer, size)` the bytes.  Returns 0 or errno.
int ReadSized(const std::function<ssize_t(char*, size_t)>& get, std::string& out)
{
    for (int tries = 0; tries < 4; tries++) {
        const ssize_t size = get(nullptr, 0);
        if (size <= 0) {
            out.clear();
            return size < 0 ? errno : 0;
        }
        out.assign(static_cast<size_t>(size), '\0');
        const ssize_t got = get(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE) // ERANGE: it grew between the two calls, ask again
            return errno;
    }
    return ERANGE;
}

// The names of a file's extended attributes.  Returns 0 or errno; a file
// system without them has none.
int AttributeNames(int fd, std::vector<std::string>& names)
{
    std::string list;
    if (const int err = ReadSized([fd](char* b, size_t n) { return flistxattr(fd, b, n); }, list))
        return err == ENOTSUP ? 0 : err;
    for (size_t at = 0, end = 0; at < list.size(); at = end + 1) {
        end = std::min(list.find('\0', at), list.size()); // a list of C strings
        names.push_back(list.substr(at, end - at));
    }
    return 0;
}

// Attributes the system keeps for itself, which an ordinary user may not
// set or remove: the new file has its own.
bool SystemsOwn(const std::string& name, int err)
{
    return (name.starts_with("trusted.") || name.starts_with("security.")) &&
           (err == EPERM || err == EACCES || err == ENOTSUP);
}

} // namespace

int CopyExtendedAttributes(int from, int to)
{
    std::vector<std::string> names, theirs;
    if (const int err = AttributeNames(from, names); err != 0)
        return err;
    if (const int err = AttributeNames(to, theirs); err != 0)
        return err;
    // What the new file got from its folder (a default ACL) and the old one
    // lacks would grant what the old one did not.
    for (const std::string& name : theirs)
        if (std::find(names.begin(), names.end(), name) == names.end() &&
            fremovexattr(to, name.c_str()) != 0 && errno != ENODATA && !SystemsOwn(name, errno))
            return errno;
    for (const std::string& name : names) {
        std::string value;
        const auto get = [&](char* b, size_t n) { return fgetxattr(from, name.c_str(), b, n); };
        if (const int err = ReadSized(get, value); err == ENODATA)
            continue; // removed meanwhile
        else if (err != 0)
            return err;
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0 &&
            !SystemsOwn(name, errno))
            return errno;
    }
    return 0;
}

} // namespace sondrel
