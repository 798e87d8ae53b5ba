// Temporary files beside their final name, and the leftovers of killed runs.
#include "write/temporary_file.h"

#include "write/durable.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sondrel {

namespace
{

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
