// What a file that is not WAVE is, from its first bytes: audio files named
// .wav are often another format, and a person needs to be told which.
#pragma once

#include <cstddef>
#include <string>

namespace sondrel {

// Bytes read from the start of a file to tell what it is.
constexpr size_t IdentifyBytes = 16;

// "a FLAC file", "an AIFF-C file", ...; empty when the bytes say nothing known.
std::string IdentifyFile(const unsigned char* head, size_t size);

} // namespace sondrel
