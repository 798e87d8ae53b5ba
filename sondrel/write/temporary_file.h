// A new file made beside its final name, flushed, given that name only if
// nothing has it (or replacing what has it in one rename), and its folder
// flushed, so readers see nothing or everything; and the leftovers of runs
// that were killed before they could remove theirs.
#pragma once

#include <string>

namespace sondrel {

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
