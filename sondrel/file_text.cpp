// Bytes of a file shown as JSON text.
#include "file_text.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace sondrel {

bool IsUtf8(std::string_view bytes)
{
    // nlohmann-json refuses to write invalid UTF-8: its check is the one that counts.
    try {
        (void)nlohmann::json(bytes).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

std::string Base64(std::string_view bytes)
{
    std::string out;
    // EVP_EncodeBlock takes an int length: larger inputs go in pieces of whole triples.
    constexpr size_t Piece = size_t{3} << 20;
    for (size_t at = 0; at < bytes.size(); at += Piece) {
        const size_t n = std::min(Piece, bytes.size() - at);
        const size_t start = out.size();
        out.resize(start + (n + 2) / 3 * 4 + 1);
        const int written = EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(out.data() + start),
            reinterpret_cast<const unsigned char*>(bytes.data() + at), static_cast<int>(n));
        out.resize(start + static_cast<size_t>(std::max(written, 0)));
    }
    return out;
}

std::string Latin1(const char* bytes, size_t size)
{
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; i++) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Text(const std::string& bytes)
{
    return IsUtf8(bytes) ? bytes : Latin1(bytes.data(), bytes.size());
}

std::string Text(const FourCC& id)
{
    return Latin1(id.data(), id.size());
}

std::string Quoted(const FourCC& id)
{
    std::string quoted(1, '"'); // appended, not "..." + s: g++ 12 warns wrongly on that
    quoted += Text(id);
    quoted += '"';
    return quoted;
}

std::string Hex(const unsigned char* p, size_t n)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; i++) {
        s += Digits[p[i] >> 4];
        s += Digits[p[i] & 0x0F];
    }
    return s;
}

std::string_view TrimBlanks(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace sondrel
