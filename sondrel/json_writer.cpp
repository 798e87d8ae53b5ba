// Compact JSON text written as it is produced.
#include "json_writer.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

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

void JsonWriter::TextKey(const std::string& name)
{
    BeforeValue();
    out += nlohmann::json(name).dump();
    out += ':';
    afterKey = true;
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

void JsonWriter::Number(double value)
{
    if (!std::isfinite(value)) {
        Null();
        return;
    }
    BeforeValue();
    Append(nlohmann::json(value).dump());
}

bool JsonWriter::String(const std::string& text)
{
    std::string quoted;
    // nlohmann-json refuses to write invalid UTF-8: its check is the one that counts.
    try {
        quoted = nlohmann::json(text).dump();
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
    BeforeValue();
    Append(quoted);
    return true;
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
