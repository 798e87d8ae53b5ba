// Bytes of a file shown as JSON text.  Invalid UTF-8 is read as Latin-1, a
// character a byte, so a script can always get the bytes back.
#pragma once

#include "bytes.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace sondrel {

// Whether nlohmann-json would write `bytes` as a string (valid UTF-8).
bool IsUtf8(std::string_view bytes);

// Each byte as the Latin-1 character it codes, in UTF-8.
std::string Latin1(const char* bytes, size_t size);

// File text as JSON text: kept when it is UTF-8, else read as Latin-1.
std::string Text(const std::string& bytes);

// A chunk id is four raw bytes, each read as Latin-1 whatever they spell.
std::string Text(const FourCC& id);

// The id in double quotes, for messages: "\"fmt \"".
std::string Quoted(const FourCC& id);

// Calls `f` with each line of `text` that is not empty, split at CR and LF.
template <typename F> void ForEachLine(std::string_view text, F f)
{
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find_first_of("\r\n", at), text.size());
        if (end > at)
            f(text.substr(at, end - at));
        at = end + 1;
    }
}

// Without the blanks (space, tab, CR, LF) around it.
std::string_view TrimBlanks(std::string_view text);

// Standard base64 of `bytes`, padded with '='.
std::string Base64(std::string_view bytes);

// Upper-case hex of `n` bytes.
std::string Hex(const unsigned char* p, size_t n);

} // namespace sondrel
