// The key table and its value checks.
#include "write/edit_keys.h"

#include "decode.h"
#include "file_text.h"

#include <cctype>
#include <pugixml.hpp>

namespace sondrel
{

namespace
{

// C0, DEL and C1 (U+0080 to U+009F, C2 80 to C2 9F in UTF-8); LF where allowed.
bool HasControl(std::string_view text, bool lineFeeds)
{
    for (size_t i = 0; i < text.size(); i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && !(lineFeeds && c == '\n')) || c == 0x7F)
            return true;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return true;
    }
    return false;
}

std::string CheckText(std::string_view text, bool lineFeeds)
{
    if (!IsUtf8(text))
        return "it is not UTF-8";
    if (HasControl(text, lineFeeds))
        return "it holds a control character";
    return "";
}

// Two digits at `at` within [lo, hi].
bool Within(std::string_view t, size_t at, int lo, int hi)
{
    if (!isdigit(static_cast<unsigned char>(t[at])) ||
        !isdigit(static_cast<unsigned char>(t[at + 1])))
        return false;
    const int v = (t[at] - '0') * 10 + (t[at + 1] - '0');
    return v >= lo && v <= hi;
}

bool IsDate(std::string_view t)
{
    if (t.size() != 10 || t[4] != '-' || t[7] != '-')
        return false;
    for (size_t i = 0; i < 4; i++)
        if (!isdigit(static_cast<unsigned char>(t[i])))
            return false;
    return Within(t, 5, 1, 12) && Within(t, 8, 1, 31);
}

bool IsTime(std::string_view t)
{
    return t.size() == 8 && t[2] == ':' && t[5] == ':' && Within(t, 0, 0, 23) &&
           Within(t, 3, 0, 59) && Within(t, 6, 0, 59);
}

bool IsPrintableAscii(std::string_view id)
{
    for (const char c : id)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

std::string CheckValue(const Edit& e, const KeyInfo& k)
{
    const std::string& v = e.value;
    switch (k.kind) {
    case KeyKind::BextText:
    case KeyKind::Info:
        if (std::string why = CheckText(v, false); !why.empty())
            return why;
        break;
    case KeyKind::Date:
        if (!v.empty() && !IsDate(v))
            return "it is not a date yyyy-mm-dd";
        break;
    case KeyKind::Time:
        if (!v.empty() && !IsTime(v))
            return "it is not a time hh:mm:ss";
        break;
    case KeyKind::TimeReference: {
        unsigned long long n = 0;
        return ParseTimeReference(v, n) ? "" : "it is not a whole number from 0 to 2^64 - 1";
    }
    case KeyKind::Umid:
        return v.empty() || UmidBytes(v).size() == 64 ? "" : "it is not the hex of 32 or 64 bytes";
    case KeyKind::CodingHistory:
        return CheckText(v, true);
    case KeyKind::Ixml: {
        pugi::xml_document doc;
        return doc.load_buffer(v.data(), v.size(), pugi::parse_default, pugi::encoding_auto)
                   ? ""
                   : "it is not well-formed XML";
    }
    case KeyKind::Unknown:
        break;
    }
    if (k.width > 0 && v.size() > k.width)
        return "it takes " + std::to_string(v.size()) + " bytes and the field holds " +
               std::to_string(k.width);
    return "";
}

} // namespace

KeyInfo InfoOfKey(std::string_view key)
{
    struct Row {
        const char* key;
        KeyInfo info;
    };
    static const Row Rows[] = {
        {"bext.description", {KeyKind::BextText, BextDescription, 256}},
        {"bext.originator", {KeyKind::BextText, BextOriginator, 32}},
        {"bext.originator_reference", {KeyKind::BextText, BextOriginatorRef, 32}},
        {"bext.origination_date", {KeyKind::Date, BextDate, 10}},
        {"bext.origination_time", {KeyKind::Time, BextTime, 8}},
        {"bext.time_reference", {KeyKind::TimeReference, BextTimeReference, 8}},
        {"bext.umid", {KeyKind::Umid, BextUmid, 64}},
        {"bext.coding_history", {KeyKind::CodingHistory, BextCodingHistory, 0}},
        {"ixml", {KeyKind::Ixml, 0, 0}},
    };
    for (const Row& r : Rows)
        if (key == r.key)
            return r.info;
    if (key.size() == 9 && key.starts_with("info.") && IsPrintableAscii(key.substr(5)))
        return {KeyKind::Info, 0, 0};
    return {};
}

bool SplitSetArgument(std::string_view arg, Edit& e)
{
    const size_t eq = arg.find('=');
    if (eq == std::string_view::npos || eq == 0)
        return false;
    e.append = arg[eq - 1] == '+';
    e.key = std::string(arg.substr(0, eq - (e.append ? 1 : 0)));
    e.value = std::string(arg.substr(eq + 1));
    e.kind = InfoOfKey(e.key).kind;
    return true;
}

std::string CheckEdit(const Edit& e)
{
    const KeyInfo k = InfoOfKey(e.key);
    if (k.kind == KeyKind::Unknown)
        return "Unknown key " + e.key;
    if (e.append && k.kind != KeyKind::CodingHistory)
        return "Only bext.coding_history takes +=";
    if (e.append && (e.value.empty() || e.value.find('\n') != std::string::npos))
        return "The value of bext.coding_history+= is not one line";
    if (std::string why = CheckValue(e, k); !why.empty())
        return "The value of " + e.key + " is refused: " + why;
    return "";
}

std::vector<std::string> SplitLines(std::string_view value)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= value.size()) {
        size_t end = value.find('\n', at);
        if (end == std::string_view::npos)
            end = value.size();
        std::string_view line = value.substr(at, end - at);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (!line.empty())
            lines.emplace_back(line);
        at = end + 1;
    }
    return lines;
}

std::string StoredHistory(std::string_view lines)
{
    std::string stored;
    for (const std::string& line : SplitLines(lines))
        stored += line + "\r\n";
    return stored;
}

bool ParseTimeReference(std::string_view text, unsigned long long& value)
{
    value = 0;
    for (const char c : text) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
        const auto d = static_cast<unsigned long long>(c - '0');
        if (value > (~0ULL - d) / 10)
            return false;
        value = value * 10 + d;
    }
    return true;
}

std::string UmidBytes(std::string_view hex)
{
    if (hex.size() != 64 && hex.size() != 128)
        return "";
    std::string bytes(64, '\0');
    for (size_t i = 0; i < hex.size(); i++) {
        const int c = tolower(static_cast<unsigned char>(hex[i]));
        const int d = isdigit(c) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            return "";
        bytes[i / 2] = static_cast<char>(bytes[i / 2] | (i % 2 ? d : d << 4));
    }
    return bytes;
}

} // namespace sondrel
