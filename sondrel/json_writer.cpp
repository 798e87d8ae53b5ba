// Compact JSON text written as it is produced.
#include "json_writer.h"

#include "file_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace sondrel {

JsonWriter::JsonWriter(std::string& text, FILE* textSink) : out(text), sink(textSink) {}

void JsonWriter::BeforeValue()
{
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (!hasMember.empty()) {
        if (hasMember.back())
            out += ',';
        hasMember.back() = true;
    }
}

void JsonWriter::Append(std::string_view text)
{
    out += text;
    if (sink && out.size() >= FlushBytes)
        Flush();
}

void JsonWriter::BeginObject()
{
    BeforeValue();
    out += '{';
    hasMember.push_back(false);
}

void JsonWriter::EndObject()
{
    hasMember.pop_back();
    Append("}");
}

void JsonWriter::BeginArray()
{
    BeforeValue();
    out += '[';
    hasMember.push_back(false);
}

void JsonWriter::EndArray()
{
    hasMember.pop_back();
    Append("]");
}

void JsonWriter::Key(std::string_view name)
{
    BeforeValue();
    out += '"';
    out += name;
    out += "\":";
    afterKey = true;
}

bool JsonWriter::TextKey(const std::string& name)
{
    std::string quoted;
    try {
        quoted = nlohmann::json(name).dump();
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
    BeforeValue();
    out += quoted;
    out += ':';
    afterKey = true;
    return true;
}

void JsonWriter::Null()
{
    BeforeValue();
    Append("null");
}

void JsonWriter::Bool(bool value)
{
    BeforeValue();
    Append(value ? "true" : "false");
}

void JsonWriter::Integer(int64_t value)
{
    BeforeValue();
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Append(std::string_view(digits, static_cast<size_t>(end - digits)));
}

void JsonWriter::Unsigned(uint64_t value)
{
    BeforeValue();
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Append(std::string_view(digits, static_cast<size_t>(end - digits)));
}

void JsonWriter::FileText(std::string_view bytes)
{
    if (!String(bytes))
        (void)String(Latin1(bytes.data(), bytes.size())); // Latin-1 as UTF-8 is always valid
}

void JsonWriter::Number(double value)
{
    if (!std::isfinite(value)) {
        Null();
        return;
    }
    BeforeValue();
    Append(nlohmann::json(value).dump());
}

namespace
{

// The serialised text, quotes included; throws when it is not valid UTF-8.
std::string Quoted(std::string_view text)
{
    return nlohmann::json(std::string(text)).dump();
}

// Where the piece that starts at `from` ends: at most PieceBytes on, never
// inside a character (a piece ends before a byte that starts one).
size_t PieceEnd(std::string_view text, size_t from)
{
    size_t end = std::min(text.size(), from + JsonWriter::PieceBytes);
    for (int back = 0; back < 3 && end < text.size() && end > from + 1 &&
                       (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80;
         back++)
        end--;
    return end;
}

// Valid UTF-8 exactly when every piece is: no character spans two pieces.
bool PiecesValid(std::string_view text)
{
    try {
        for (size_t at = 0; at < text.size(); at = PieceEnd(text, at))
            (void)Quoted(text.substr(at, PieceEnd(text, at) - at));
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
    return true;
}

} // namespace

bool JsonWriter::String(std::string_view text)
{
    if (text.size() > PieceBytes) {
        if (!PiecesValid(text))
            return false;
        BeforeValue();
        PiecewiseString(text);
        return true;
    }
    std::string quoted;
    // nlohmann-json refuses to write invalid UTF-8: its check is the one that counts.
    try {
        quoted = Quoted(text);
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
    BeforeValue();
    Append(quoted);
    return true;
}

// One JSON string made of each piece's serialisation without its quotes.
void JsonWriter::PiecewiseString(std::string_view text)
{
    out += '"';
    for (size_t at = 0; at < text.size(); at = PieceEnd(text, at)) {
        const std::string quoted = Quoted(text.substr(at, PieceEnd(text, at) - at));
        Append(std::string_view(quoted).substr(1, quoted.size() - 2));
    }
    Append("\"");
}

bool JsonWriter::Flush()
{
    if (sink && !out.empty()) {
        if (fwrite(out.data(), 1, out.size(), sink) != out.size())
            writeFailed = true;
        out.clear();
    }
    return !writeFailed;
}

} // namespace sondrel
