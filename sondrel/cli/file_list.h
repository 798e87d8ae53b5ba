// The names the inspector works through, produced one at a time: those on the
// command line, then those read from list files, with directories walked
// under --recursive.  Memory does not grow with the number of names or the
// size of a tree: a list is read a buffer at a time, and a walk holds only
// the listings of the directories on its current path.
#pragma once

#include "file_entry.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

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

} // namespace sondrel
