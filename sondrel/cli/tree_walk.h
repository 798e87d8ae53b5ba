// The walk of one directory tree under --recursive: depth first, each
// directory's entries sorted by name as bytes, symbolic links neither listed
// nor followed, only regular files named *.wav, *.bwf or *.rf64 (any case)
// produced.  Only the listings of the directories on the current path are
// held, and it goes down and up with descriptors (openat), so neither the
// depth of a tree nor the length of its paths is limited.
#pragma once

#include "file_entry.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace sondrel {

class TreeWalk
{
  public:
    TreeWalk();
    ~TreeWalk();
    TreeWalk(const TreeWalk&) = delete;
    TreeWalk& operator=(const TreeWalk&) = delete;

    enum class Start { Walking, NotDirectory, Failed };

    // Starts a walk at `root` when it is a directory (a link to one is
    // followed: it was named).  Sets `error` for one that cannot be read.
    Start Begin(const std::string& root, int& error);

    // The next file of the walk under way, or a subdirectory that cannot be
    // read (its entry has a problem); false when the walk is over.
    bool Next(FileEntry& entry);

  private:
    // A directory on the current path.
    struct Level {
        struct Item {
            size_t offset; // of its name in `names`, where it ends in a NUL
            size_t length;
            bool directory;
        };
        int fd = -1; // -1 while closed to stay within the descriptor limit
        dev_t device = 0;
        ino_t inode = 0;
        std::string names;
        std::vector<Item> items; // sorted by name as bytes
        size_t next = 0;
        size_t prefix = 0; // length of its entries' path before their names

        const char* Name(const Item& item) const { return names.data() + item.offset; }
    };

    static int ReadListing(Level& level);
    bool Problem(FileEntry& entry, int error);
    int Descend(const char* name);
    void MakeRoom();
    bool Climb();
    bool Reopen(size_t index, int childFd);

    std::vector<Level> levels_;
    std::string path_;
    size_t maxOpen_ = 256;  // directory descriptors held at most
    size_t lowestOpen_ = 1; // levels from here to the top are open, and the root
};

} // namespace sondrel
