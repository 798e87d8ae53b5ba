// The inspector's progress line on a terminal: files done, or the bytes of
// the file being read, redrawn in place at most ten times a second.  A file
// name is shown safely: its control characters as '?', the line cut to the
// terminal's width so that erasing it erases all of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sondrel {

// `name` (file bytes: UTF-8, else read as Latin-1) between `before` and
// `after`, with every control character (C0, DEL, C1) as '?', fitting in
// `columns` - 1 columns: the name loses its start first ("..." in its place),
// then the line its end.  Characters from U+1100 up count as two columns.
std::string ProgressText(std::string_view before, const std::string& name, std::string_view after,
                         size_t columns);

// Columns of the terminal on `fd`, else $COLUMNS, else 80.
size_t TerminalColumns(int fd);

class ProgressLine
{
  public:
    ProgressLine(bool draw, std::optional<size_t> total) : draw_(draw), total_(total) {}

    // "sondrel: 3 of 40 files" or "sondrel: 3 files so far".
    void FilesDone(size_t done);
    // "sondrel: FILE: 1048576 of 5000000 bytes" while audio is read.
    void AudioRead(const std::string& path, uint64_t done, uint64_t total);
    // Also erases a line drawn during the last file.
    void Erase();

  private:
    bool Due();
    void Draw(std::string_view before, const std::string& name, std::string_view after);

    bool draw_;
    std::optional<size_t> total_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

} // namespace sondrel
