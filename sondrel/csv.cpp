// Tables in and out, byte for byte: what a cell holds is never recoded.
#include "csv.h"

#include <openssl/evp.h>

namespace sondrel
{

namespace
{

bool NeedsGuard(std::string_view text)
{
    return !text.empty() && std::string_view("=+-@\t\r'").find(text[0]) != std::string_view::npos;
}

} // namespace

std::string CsvLine(const std::vector<std::string>& fields)
{
    std::string line;
    for (size_t i = 0; i < fields.size(); i++) {
        const std::string& f = fields[i];
        if (i > 0)
            line += ',';
        if (f.find_first_of(",\"\r\n") == std::string::npos) {
            line += f;
            continue;
        }
        line += '"';
        for (const char c : f)
            line += c == '"' ? std::string("\"\"") : std::string(1, c);
        line += '"';
    }
    return line + "\r\n";
}

std::string Guard(std::string_view text)
{
    std::string out(NeedsGuard(text) ? 1 : 0, '\'');
    out.append(text);
    return out;
}

std::string Unguard(std::string_view cell)
{
    if (cell.size() >= 2 && cell[0] == '\'' && NeedsGuard(cell.substr(1)))
        cell.remove_prefix(1);
    return std::string(cell);
}

std::string ParseCsv(std::string_view text, std::vector<std::vector<std::string>>& rows)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    rows.clear();
    std::vector<std::string> row;
    std::string field;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '"' && field.empty()) {
            // A quoted field runs to the quote not doubled.
            for (i++;; i++) {
                if (i >= text.size())
                    return "a quote is left open";
                if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"')
                    field += text[i++];
                else if (text[i] == '"')
                    break;
                else
                    field += text[i];
            }
            i++;
            if (i < text.size() && text.find_first_of(",\r\n", i) != i)
                return "text follows a closing quote in row " + std::to_string(rows.size() + 1);
            continue;
        }
        const char c = text[i++];
        if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
        } else if (c == '\n' || (c == '\r' && i < text.size() && text[i] == '\n')) {
            i += c == '\r' ? 1 : 0;
            row.push_back(std::move(field));
            field.clear();
            rows.push_back(std::move(row));
            row.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty() || !row.empty() || (!text.empty() && text.back() == '"')) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
    }
    return "";
}

bool FromBase64(std::string_view text, std::string& bytes)
{
    if (text.size() % 4 != 0)
        return false;
    bytes.assign(3 * (text.size() / 4) + 1, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return false;
    // EVP_DecodeBlock counts the padding's zero bytes: '=' marks them.
    size_t pad = 0;
    for (size_t k = text.size(); k > 0 && text[k - 1] == '=' && pad < 2; k--)
        pad++;
    bytes.resize(static_cast<size_t>(n) - pad);
    return true;
}

} // namespace sondrel
