// One file to work on, as a batch names it: by its path, or, when a walk
// found it, by its name relative to an open directory, so that a path longer
// than PATH_MAX still opens and a link found by the walk is not followed.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <string>
#include <string_view>

namespace sondrel {

struct FileEntry {
    std::string path;     // the name as records show it
    int dirfd = AT_FDCWD; // the directory the name opened is relative to
    size_t nameAt = 0;    // where that name starts in `path`: its last part when walked
    bool walked = false;  // found by a walk: a link there is not followed
    std::string problem;  // not empty: why it could not be listed or read
};

// A file named directly, opened by its path.
FileEntry NamedEntry(std::string_view path);

// Makes `entry` one named directly by `path`.
void SetNamed(FileEntry& entry, std::string_view path);

// Opens the entry's file with open(2) `flags`; -1 with errno set on failure.
int OpenEntry(const FileEntry& entry, int flags);

} // namespace sondrel
