// Files as a batch names them.
#include "file_entry.h"

namespace sondrel {

void SetNamed(FileEntry& entry, std::string_view path)
{
    entry.path = path;
    entry.dirfd = AT_FDCWD;
    entry.nameAt = 0;
    entry.walked = false;
    entry.problem.clear();
}

FileEntry NamedEntry(std::string_view path)
{
    FileEntry entry;
    SetNamed(entry, path);
    return entry;
}

int OpenEntry(const FileEntry& entry, int flags)
{
    return openat(entry.dirfd, entry.path.c_str() + entry.nameAt,
                  flags | (entry.walked ? O_NOFOLLOW : 0));
}

} // namespace sondrel
