// The writers' progress line.
#include "write/progress.h"

#include <cstdio>
#include <unistd.h>
#include <utility>

namespace sondrel {

ByteProgress::ByteProgress(std::string path, uint64_t total)
    : path_(std::move(path)), total_(total), draw_(isatty(STDERR_FILENO) != 0)
{
}

ByteProgress::~ByteProgress()
{
    if (shown_)
        fputs("\r\033[K", stderr);
}

void ByteProgress::Update(uint64_t done)
{
    const auto now = std::chrono::steady_clock::now();
    if (!draw_ || (shown_ && now - last_ < std::chrono::milliseconds(100)))
        return;
    last_ = now;
    shown_ = true;
    fprintf(stderr, "\r\033[Ksondrel: %s: %llu of %llu bytes", path_.c_str(),
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
}

std::function<void(uint64_t)> ByteProgress::Callback()
{
    if (!draw_)
        return {};
    return [this](uint64_t done) { Update(done); };
}

} // namespace sondrel
