// The names the inspector works through, produced one at a time: those on the
// command line, then those read from list files, with directories walked
// under --recursive.  Memory does not grow with the number of names or the
// size of a tree: a list is read a buffer at a time, and a walk holds only
// the listings of the directories on its current path.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One name to inspect, or one that could not be listed or read.
struct FileEntry {
    std::string path;     // the name as the record shows it
    int dirfd = AT_FDCWD; // the directory the name opened is relative to
    size_t nameAt = 0;    // where that name starts in `path`: its last part when walked
    bool walked = false;  // found by a walk: a link there is not followed
    std::string problem;  // not empty: why it could not be listed or read
};

// A file named directly, opened by its path.
FileEntry NamedEntry(const char* path);

// Opens the entry's file with open(2) `flags`; -1 with errno set on failure.
// A walked entry opens relative to its directory, so its path may be longer
// than PATH_MAX.
int OpenEntry(const FileEntry& entry, int flags);

struct FileListOptions {
    std::vector<const char*> names; // from the command line, in order
    std::vector<const char*> lists; // --files-from, in order; "-" is standard input
    bool nulSeparated = false;      // -0: list names end in NUL, not LF
    bool recursive = false;
};

class FileList
{
  public:
    explicit FileList(FileListOptions options);
    ~FileList();
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    // The next entry, valid until the next call; null when all are done.
    const FileEntry* Next();

    // How many entries there will be, when that is known before the run:
    // command-line names alone, neither listed nor walked.
    std::optional<size_t> KnownCount() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};
