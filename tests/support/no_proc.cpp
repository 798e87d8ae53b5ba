// Preloaded into the program by the tests: every open of a path under /proc
// fails with ENOENT, as where /proc is not mounted (64-bit builds call these
// names; the fortified ones take two arguments).
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>

namespace
{

bool UnderProc(const char* path)
{
    return path && std::strncmp(path, "/proc", 5) == 0 && (path[5] == '/' || path[5] == '\0');
}

using OpenAtFn = int (*)(int, const char*, int, ...);

int Forward(const char* name, int folder, const char* path, int flags, mode_t mode)
{
    if (UnderProc(path)) {
        errno = ENOENT;
        return -1;
    }
    const auto real = reinterpret_cast<OpenAtFn>(dlsym(RTLD_NEXT, name));
    return real(folder, path, flags, mode);
}

mode_t ModeOf(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return Forward("openat", AT_FDCWD, path, flags, mode);
}

extern "C" int openat(int folder, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return Forward("openat", folder, path, flags, mode);
}

extern "C" int __open_2(const char* path, int flags)
{
    return Forward("openat", AT_FDCWD, path, flags, 0);
}

extern "C" int __openat_2(int folder, const char* path, int flags)
{
    return Forward("openat", folder, path, flags, 0);
}
