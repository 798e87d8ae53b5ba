// The inspector's progress line.
#include "cli/progress.h"

#include "file_text.h"

#include <cstdio>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sondrel {

namespace
{

struct Shown {
    std::string text;
    size_t columns = 0;
};

// UTF-8 text with control characters as '?', and the columns it takes.
Shown Printable(std::string_view utf8)
{
    Shown s;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::string_view c = utf8.substr(i, n);
        i += n;
        // C1 controls are U+0080 to U+009F: 0xC2 then 0x80 to 0x9F.
        const bool control = lead < 0x20 || lead == 0x7F ||
                             (lead == 0xC2 && static_cast<unsigned char>(c.back()) < 0xA0);
        s.text += control ? std::string_view("?") : c;
        // Wide characters start at U+1100; counting others there as wide
        // only shortens the line.
        s.columns += lead >= 0xE1 ? 2 : 1;
    }
    return s;
}

// The last characters of `s` that fit in `columns`.
std::string Tail(const Shown& s, size_t columns)
{
    size_t at = s.text.size(), used = 0;
    while (at > 0) {
        size_t start = at - 1;
        while (start > 0 && (static_cast<unsigned char>(s.text[start]) & 0xC0) == 0x80)
            start--;
        const size_t width = static_cast<unsigned char>(s.text[start]) >= 0xE1 ? 2 : 1;
        if (used + width > columns)
            break;
        used += width;
        at = start;
    }
    return s.text.substr(at);
}

} // namespace

std::string ProgressText(std::string_view before, const std::string& name, std::string_view after,
                         size_t columns)
{
    const size_t room =
        columns > 1 ? columns - 1 : 0; // the last column would wrap on some terminals
    const Shown head = Printable(before), tail = Printable(after);
    const Shown file = Printable(Text(name));
    const size_t fixed = head.columns + tail.columns;
    if (fixed + file.columns <= room)
        return head.text + file.text + tail.text;
    if (fixed + 3 < room)
        return head.text + "..." + Tail(file, room - fixed - 3) + tail.text;
    std::string line = head.text + tail.text; // ASCII: one column a byte
    return line.substr(0, room);
}

size_t TerminalColumns(int fd)
{
    struct winsize size {
    };
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    const char* columns = getenv("COLUMNS");
    char* end = nullptr;
    const unsigned long n = columns ? strtoul(columns, &end, 10) : 0;
    return n > 0 && n < 100000 && end && *end == '\0' ? n : 80;
}

bool ProgressLine::Due()
{
    if (!draw_)
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100))
        return false;
    last_ = now;
    shown_ = true;
    return true;
}

void ProgressLine::Draw(std::string_view before, const std::string& name, std::string_view after)
{
    const std::string line = ProgressText(before, name, after, TerminalColumns(STDERR_FILENO));
    fprintf(stderr, "\r\033[K%s", line.c_str());
}

void ProgressLine::FilesDone(size_t done)
{
    if (!Due())
        return;
    char text[96];
    if (total_)
        snprintf(text, sizeof text, "sondrel: %zu of %zu files", done, *total_);
    else
        snprintf(text, sizeof text, "sondrel: %zu file%s so far", done, done == 1 ? "" : "s");
    Draw(text, "", "");
}

void ProgressLine::AudioRead(const std::string& path, uint64_t done, uint64_t total)
{
    if (!Due())
        return;
    char text[96];
    snprintf(text, sizeof text, ": %llu of %llu bytes", static_cast<unsigned long long>(done),
             static_cast<unsigned long long>(total));
    Draw("sondrel: ", path, text);
}

void ProgressLine::Erase()
{
    if (draw_)
        fputs("\r\033[K", stderr);
}

} // namespace sondrel
