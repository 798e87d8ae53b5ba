// The page's writer and its one escape.
#include "report/html_page.h"

#include "report/html_report.h"
#include "report/record_reader.h"

#include <cctype>

namespace sondrel {

PageOut& PageOut::operator<<(std::string_view markup)
{
    buffer_.append(markup);
    if (buffer_.size() >= 64 * 1024)
        Flush();
    return *this;
}

// Control characters are shown as their pictures (U+2400 on): a path with a
// newline or an escape reads as text and breaks no layout.
PageOut& PageOut::Text(std::string_view text)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '&':
            buffer_ += "&amp;";
            break;
        case '<':
            buffer_ += "&lt;";
            break;
        case '>':
            buffer_ += "&gt;";
            break;
        case '"':
            buffer_ += "&quot;";
            break;
        case '\'':
            buffer_ += "&#39;";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char code[16];
                snprintf(code, sizeof code, "&#x%X;", 0x2400u + (c == 0x7F ? 0x21u : c));
                buffer_ += code;
            } else {
                buffer_ += ch;
            }
        }
    }
    return *this << "";
}

PageOut& PageOut::Number(double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return *this << text;
}

PageOut& PageOut::Count(uint64_t value)
{
    return *this << std::to_string(value);
}

PageOut& PageOut::Grouped(uint64_t value)
{
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return *this << grouped;
}

bool PageOut::Flush()
{
    if (!buffer_.empty() && fwrite(buffer_.data(), 1, buffer_.size(), sink_) != buffer_.size())
        failed_ = true;
    buffer_.clear();
    return !failed_;
}

std::string FragmentOf(std::string_view code)
{
    std::string f = "code=";
    for (const char ch : code) {
        const auto c = static_cast<unsigned char>(ch);
        if (isalnum(c) || c == '-' || c == '_' || c == '.') {
            f += ch;
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            f += hex;
        }
    }
    return f;
}

const char* ClassName(FileClass c)
{
    switch (c) {
    case FileClass::Errors:
        return "error";
    case FileClass::Unreadable:
        return "unreadable";
    case FileClass::Warnings:
        return "warning";
    case FileClass::Infos:
        return "info";
    case FileClass::Clean:
        break;
    }
    return "clean";
}

void AddRecordLine(RunSummary& summary, std::string_view line)
{
    RecordFacts facts;
    if (ParseRecordFacts(line, facts))
        summary.Add(facts);
    else
        summary.AddBadLine(summary.files + summary.badLines + 1);
}

} // namespace sondrel
