// The directory walk of --recursive, with descriptors kept within the limit.
#include "cli/tree_walk.h"

#include "status.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondrel {

namespace
{

bool HasAudioSuffix(std::string_view name)
{
    for (std::string_view suffix : {".wav", ".bwf", ".rf64"}) {
        if (name.size() < suffix.size())
            continue;
        const std::string_view tail = name.substr(name.size() - suffix.size());
        if (std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? a + ('a' - 'A') : a) == b;
            }))
            return true;
    }
    return false;
}

enum class Kind { File, Directory, Other };

Kind KindOf(int dirfd, const dirent& d)
{
    unsigned char type = d.d_type;
    if (type == DT_UNKNOWN) { // some file systems leave the type to stat
        struct stat st {
        };
        if (fstatat(dirfd, d.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Kind::Other;
        type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN;
    }
    const std::string_view name = d.d_name;
    if (type == DT_DIR)
        return name == "." || name == ".." ? Kind::Other : Kind::Directory;
    return type == DT_REG && HasAudioSuffix(name) ? Kind::File : Kind::Other;
}

int OpenDirectoryAt(int dirfd, const char* name, int flags = O_NOFOLLOW)
{
    return openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | flags);
}

// Sets the device and inode of the directory open as `fd`; 0 or the error.
int Identify(int fd, dev_t& device, ino_t& inode)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0)
        return errno;
    device = st.st_dev;
    inode = st.st_ino;
    return 0;
}

bool IsDirectory(int fd, dev_t device, ino_t inode)
{
    dev_t d = 0;
    ino_t i = 0;
    return fd >= 0 && Identify(fd, d, i) == 0 && d == device && i == inode;
}

} // namespace

TreeWalk::TreeWalk()
{
    rlimit limit{};
    const rlim_t files = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    // A quarter of the limit leaves room for the inspected file, the list,
    // the listing's own descriptor and whatever a library opens.
    maxOpen_ = static_cast<size_t>(std::clamp<rlim_t>(files / 4, 3, 256));
}

TreeWalk::~TreeWalk()
{
    for (const Level& level : levels_)
        if (level.fd >= 0)
            close(level.fd);
}

TreeWalk::Start TreeWalk::Begin(const std::string& root, int& error)
{
    Level level;
    level.fd = OpenDirectoryAt(AT_FDCWD, root.c_str(), 0);
    if (level.fd < 0) {
        error = errno;
        struct stat st {
        };
        // A directory that cannot be opened is the walk's to report; anything
        // else (a file, a name that is not there) the inspector's.
        return error != ENOTDIR && stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                   ? Start::Failed
                   : Start::NotDirectory;
    }
    error = Identify(level.fd, level.device, level.inode);
    if (error == 0)
        error = ReadListing(level);
    if (error != 0) {
        close(level.fd);
        return Start::Failed;
    }
    path_ = root;
    if (!root.ends_with('/'))
        path_ += '/';
    level.prefix = path_.size();
    levels_.push_back(std::move(level));
    lowestOpen_ = 1;
    return Start::Walking;
}

bool TreeWalk::Next(FileEntry& entry)
{
    while (!levels_.empty()) {
        Level& top = levels_.back();
        if (top.next == top.items.size()) {
            if (!Climb())
                return Problem(entry, ENOENT); // it moved away meanwhile
            continue;
        }
        const Level::Item item = top.items[top.next++];
        path_.resize(top.prefix);
        path_.append(top.Name(item), item.length);
        if (!item.directory) {
            entry.path = path_;
            entry.dirfd = top.fd;
            entry.nameAt = top.prefix;
            entry.walked = true;
            entry.problem.clear();
            return true;
        }
        if (const int error = Descend(top.Name(item)); error != 0)
            return Problem(entry, error);
    }
    return false;
}

// Reads the directory open as `level.fd`: its subdirectories and audio files,
// sorted.  Returns 0 or the error that stopped it.
int TreeWalk::ReadListing(Level& level)
{
    const int copy = fcntl(level.fd, F_DUPFD_CLOEXEC, 0); // closedir closes it
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!dir) {
        const int error = errno;
        if (copy >= 0)
            close(copy);
        return error;
    }
    for (;;) {
        errno = 0;
        const dirent* d = readdir(dir);
        if (!d)
            break;
        const Kind kind = KindOf(level.fd, *d);
        if (kind == Kind::Other)
            continue;
        const size_t length = strlen(d->d_name);
        level.items.push_back({level.names.size(), length, kind == Kind::Directory});
        level.names.append(d->d_name, length + 1);
    }
    const int error = errno;
    closedir(dir);
    const char* names = level.names.data();
    std::sort(level.items.begin(), level.items.end(), [names](const auto& a, const auto& b) {
        return std::string_view(names + a.offset, a.length) <
               std::string_view(names + b.offset, b.length);
    });
    return error;
}

bool TreeWalk::Problem(FileEntry& entry, int error)
{
    entry.path = path_;
    entry.dirfd = AT_FDCWD;
    entry.nameAt = 0;
    entry.walked = true;
    entry.problem = Reason("Can't read directory", error);
    return true;
}

// Enters the subdirectory `name` of the top directory, whose path is in
// path_.  Returns 0 or the error that kept it out.
int TreeWalk::Descend(const char* name)
{
    MakeRoom();
    Level level;
    level.fd = OpenDirectoryAt(levels_.back().fd, name);
    if (level.fd < 0)
        return errno;
    int error = Identify(level.fd, level.device, level.inode);
    // Without links a tree has no loops; a file system that makes one anyway
    // must not make the walk endless.
    for (const Level& above : levels_)
        if (error == 0 && above.device == level.device && above.inode == level.inode)
            error = ELOOP;
    if (error == 0)
        error = ReadListing(level);
    if (error != 0) {
        close(level.fd);
        return error;
    }
    path_ += '/';
    level.prefix = path_.size();
    levels_.push_back(std::move(level));
    return 0;
}

// Closes the lowest open directory above the root when one more would pass
// the limit; never the top one, whose entries are being opened.
void TreeWalk::MakeRoom()
{
    const size_t open = 1 + levels_.size() - lowestOpen_;
    if (open + 1 <= maxOpen_ || lowestOpen_ + 1 >= levels_.size())
        return;
    int& fd = levels_[lowestOpen_++].fd;
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Leaves the top directory.  False when the one below it had been closed and
// cannot be opened again: its remaining entries are dropped, and path_ is its path.
bool TreeWalk::Climb()
{
    const int childFd = levels_.back().fd;
    const size_t below = levels_.size() - 2; // wraps for the root, then unused
    bool reopened = true;
    if (levels_.size() >= 2 && below >= 1 && below < lowestOpen_) {
        reopened = Reopen(below, childFd);
        lowestOpen_ = below;
    }
    if (childFd >= 0)
        close(childFd);
    levels_.pop_back();
    if (reopened)
        return true;
    Level& level = levels_.back();
    level.next = level.items.size();
    path_.resize(level.prefix - 1);
    return false;
}

bool TreeWalk::Reopen(size_t index, int childFd)
{
    Level& level = levels_[index];
    level.fd = OpenDirectoryAt(childFd, "..", 0);
    if (IsDirectory(level.fd, level.device, level.inode))
        return true;
    if (level.fd >= 0)
        close(level.fd);
    // Moved or renamed meanwhile: down again from the root by name.
    int fd = levels_[0].fd;
    for (size_t i = 1; i <= index && fd >= 0; i++) {
        const Level& parent = levels_[i - 1];
        const int next = OpenDirectoryAt(fd, parent.Name(parent.items[parent.next - 1]));
        if (i > 1)
            close(fd);
        fd = next;
    }
    level.fd = IsDirectory(fd, level.device, level.inode) ? fd : -1;
    if (fd >= 0 && level.fd < 0)
        close(fd);
    return level.fd >= 0;
}

} // namespace sondrel
