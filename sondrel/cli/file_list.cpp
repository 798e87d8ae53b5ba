// Names to inspect: command-line names, then list files read a buffer at a
// time, each directory among them walked under --recursive.
#include "cli/file_list.h"

#include "cli/tree_walk.h"
#include "status.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace sondrel {

namespace
{

constexpr size_t ListBufferBytes = 64 * 1024;

// No path this long can be opened; a list that is not text (an audio file
// given by mistake) must not make one name take all the memory.
constexpr size_t MaxNameBytes = 64 * 1024;

// Names from one list file, split at LF (or NUL), empty names skipped.
class NameReader
{
  public:
    NameReader(const char* list, char separator) : separator_(separator), buffer_(ListBufferBytes)
    {
        if (std::string_view(list) == "-") {
            fd_ = STDIN_FILENO;
            return;
        }
        fd_ = open(list, O_RDONLY | O_CLOEXEC);
        own_ = fd_ >= 0;
        if (fd_ < 0)
            error_ = errno;
    }
    ~NameReader()
    {
        if (own_)
            close(fd_);
    }
    NameReader(const NameReader&) = delete;
    NameReader& operator=(const NameReader&) = delete;

    // The next name; false at the end of the list or after a failure (error()
    // set; a name cut by the failure is dropped).  Sets `tooLong` for a name
    // of more than MaxNameBytes, of which `name` holds the start.
    bool Next(std::string& name, bool& tooLong)
    {
        name.clear();
        tooLong = false;
        for (;;) {
            if (pos_ == end_) {
                if (error_ != 0)
                    return false;
                if (atEnd_)
                    return !name.empty(); // the last name may lack its separator
                Fill();
                continue;
            }
            const char* start = buffer_.data() + pos_;
            const auto* hit = static_cast<const char*>(memchr(start, separator_, end_ - pos_));
            const size_t length = hit ? static_cast<size_t>(hit - start) : end_ - pos_;
            const size_t room = MaxNameBytes - name.size();
            name.append(start, std::min(length, room));
            tooLong = tooLong || length > room;
            pos_ += length + (hit ? 1 : 0);
            if (hit && !name.empty())
                return true;
        }
    }

    int error() const { return error_; }

  private:
    void Fill()
    {
        ssize_t got;
        do {
            got = read(fd_, buffer_.data(), buffer_.size());
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            error_ = errno;
        atEnd_ = got == 0;
        pos_ = 0;
        end_ = got > 0 ? static_cast<size_t>(got) : 0;
    }

    int fd_ = -1;
    bool own_ = false;
    char separator_;
    std::vector<char> buffer_;
    size_t pos_ = 0, end_ = 0;
    bool atEnd_ = false;
    int error_ = 0;
};

} // namespace

// ---- the list --------------------------------------------------------------

struct FileList::State {
    FileListOptions options;
    size_t nextName = 0;
    size_t nextList = 0;
    std::unique_ptr<NameReader> reader;
    const char* readerList = nullptr;
    std::string name;
    TreeWalk walk;
    FileEntry entry;

    const FileEntry* Problem(std::string_view path, std::string reason)
    {
        SetNamed(entry, path);
        entry.problem = std::move(reason);
        return &entry;
    }

    // The next name given or listed; false when there is none, or with a
    // problem entry to return instead.
    bool NextName(const FileEntry*& problem)
    {
        for (;;) {
            if (nextName < options.names.size()) {
                name = options.names[nextName++];
                return true;
            }
            if (reader) {
                bool tooLong = false;
                if (reader->Next(name, tooLong)) {
                    if (tooLong)
                        problem =
                            Problem(name, Reason("Can't open file for reading", ENAMETOOLONG));
                    return !tooLong;
                }
                const int error = reader->error();
                reader.reset();
                if (error == 0)
                    continue;
                problem = Problem(readerList, Reason("Can't read file list", error));
                return false;
            }
            if (nextList == options.lists.size())
                return false;
            readerList = options.lists[nextList++];
            reader = std::make_unique<NameReader>(readerList, options.nulSeparated ? '\0' : '\n');
        }
    }
};

FileList::FileList(FileListOptions options) : state_(std::make_unique<State>())
{
    state_->options = std::move(options);
}

FileList::~FileList() = default;

const FileEntry* FileList::Next()
{
    State& s = *state_;
    for (;;) {
        if (s.walk.Next(s.entry))
            return &s.entry;
        const FileEntry* problem = nullptr;
        if (!s.NextName(problem))
            return problem;
        if (s.options.recursive) {
            int error = 0;
            const TreeWalk::Start start = s.walk.Begin(s.name, error);
            if (start == TreeWalk::Start::Walking)
                continue;
            if (start == TreeWalk::Start::Failed)
                return s.Problem(s.name, Reason("Can't read directory", error));
        }
        SetNamed(s.entry, s.name);
        return &s.entry;
    }
}

std::optional<size_t> FileList::KnownCount() const
{
    const FileListOptions& o = state_->options;
    if (o.recursive || !o.lists.empty())
        return std::nullopt;
    return o.names.size();
}

} // namespace sondrel
