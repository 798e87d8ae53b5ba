// The progress line of a writing mode on standard error, as the inspector
// draws it: "sondrel: PATH: N of M bytes", only on a terminal, redrawn at
// most ten times a second, erased when the file is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace sondrel {

class ByteProgress
{
  public:
    ByteProgress(std::string path, uint64_t total);
    ~ByteProgress();
    ByteProgress(const ByteProgress&) = delete;
    ByteProgress& operator=(const ByteProgress&) = delete;

    // `done` bytes of the total so far.
    void Update(uint64_t done);
    // Update as a callback for the readers and the copy; empty when nothing
    // is drawn, so they pay nothing.
    std::function<void(uint64_t)> Callback();

  private:
    std::string path_;
    uint64_t total_;
    bool draw_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

} // namespace sondrel
