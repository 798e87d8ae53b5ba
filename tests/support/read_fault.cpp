// Preloaded into the program by the tests: the read that reaches byte
// SONDREL_FAIL_READ_AT of the file (counted over every read of descriptors
// above 2, or of descriptor SONDREL_FAIL_READ_FD alone when that is set and
// not negative) stops there, and the next read fails once with EIO.  Reads
// after that succeed again, so the tests see how the walk carries on.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace
{

using ReadFn = ssize_t (*)(int, void*, size_t);

long long FromEnvironment(const char* name)
{
    const char* value = getenv(name);
    return value ? atoll(value) : -1;
}

} // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count)
{
    static const auto realRead = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    static const long long failAt = FromEnvironment("SONDREL_FAIL_READ_AT");
    static const long long onlyFd = FromEnvironment("SONDREL_FAIL_READ_FD");
    static long long seen = 0;
    static bool failed = false;
    if ((onlyFd >= 0 ? fd != onlyFd : fd <= 2) || failAt < 0 || failed)
        return realRead(fd, buffer, count);
    if (seen >= failAt) {
        failed = true;
        errno = EIO;
        return -1;
    }
    const auto left = static_cast<size_t>(failAt - seen);
    const ssize_t got = realRead(fd, buffer, count < left ? count : left);
    if (got > 0)
        seen += got;
    return got;
}
