// The row builder: every cell as --json shows the value, null as empty.
#include "inspect/csv_record.h"

#include "csv.h"
#include "file_text.h"
#include "json_writer.h"

#include <algorithm>
#include <array>

namespace sondrel
{

namespace
{

constexpr std::array<const char*, 19> TechnicalColumns = {"path",
                                                          "path_bytes",
                                                          "status",
                                                          "error",
                                                          "container",
                                                          "format",
                                                          "channels",
                                                          "sample_rate",
                                                          "bits_per_sample",
                                                          "frames",
                                                          "seconds",
                                                          "errors",
                                                          "warnings",
                                                          "infos",
                                                          "md5_stored",
                                                          "md5_computed",
                                                          "integrated_lufs",
                                                          "range_lu",
                                                          "max_true_peak_dbtp"};

constexpr std::array<const char*, 8> BextColumns = {"bext.description",
                                                    "bext.originator",
                                                    "bext.originator_reference",
                                                    "bext.origination_date",
                                                    "bext.origination_time",
                                                    "bext.time_reference",
                                                    "bext.umid",
                                                    "bext.coding_history"};

constexpr std::array<const char*, 17> InfoIds = {"IARL", "IART", "ICMS", "ICMT", "ICOP", "ICRD",
                                                 "IENG", "IGNR", "IKEY", "IMED", "INAM", "IPRD",
                                                 "ISBJ", "ISFT", "ISRC", "ISRF", "ITCH"};

// A number as --json writes it.
template <typename T> std::string Number(const std::optional<T>& v)
{
    if (!v)
        return "";
    std::string s;
    JsonWriter j(s);
    j.Value(*v);
    return s == "null" ? "" : s;
}

std::string Umid(const std::array<unsigned char, 64>& u)
{
    const auto zero = [&](size_t from) {
        return std::all_of(u.begin() + static_cast<long>(from), u.end(),
                           [](unsigned char c) { return c == 0; });
    };
    return zero(0) ? "" : Hex(u.data(), zero(32) ? 32 : 64);
}

std::string Lines(const std::string& history)
{
    std::string out;
    ForEachLine(history, [&out](std::string_view line) {
        if (!out.empty())
            out += '\n';
        out += Text(std::string(line));
    });
    return out;
}

std::optional<std::string> BextCell(const BextRecord& b, std::string_view field)
{
    const auto text = [&](size_t at, size_t width, const std::string& v) {
        return b.Has(at, width) ? Text(v) : std::string();
    };
    if (field == "description")
        return text(BextDescription, 256, b.description);
    if (field == "originator")
        return text(BextOriginator, 32, b.originator);
    if (field == "originator_reference")
        return text(BextOriginatorRef, 32, b.originatorReference);
    if (field == "origination_date")
        return text(BextDate, 10, b.date);
    if (field == "origination_time")
        return text(BextTime, 8, b.time);
    if (field == "time_reference")
        return b.Has(BextTimeReference, 8) ? std::to_string(b.timeReference) : "";
    if (field == "umid")
        return b.Has(BextUmid, 64) ? Umid(b.umid) : "";
    if (field == "coding_history")
        return b.HasCodingHistory() ? Lines(b.codingHistory) : "";
    return std::nullopt;
}

std::string Codes(const Record& r, Severity s)
{
    std::vector<std::string> codes;
    for (const Finding& f : r.findings)
        if (f.Kind().severity == s &&
            std::find(codes.begin(), codes.end(), f.Kind().text) == codes.end())
            codes.push_back(f.Kind().text);
    std::string out;
    for (const std::string& c : codes)
        out.append(out.empty() ? "" : " ").append(c);
    return out;
}

std::string Digest(const std::optional<std::array<uint8_t, 16>>& d)
{
    return d ? Hex(d->data(), d->size()) : "";
}

void FormatCells(const Record& r, std::vector<std::string>& row)
{
    const std::optional<FormatChunk>& f = r.format;
    const auto field = [&](size_t at, uint64_t v) {
        return f && f->Has(at, 2) ? std::to_string(v) : std::string();
    };
    row.push_back(f && f->Has(FmtTag, 2) ? FormatTagName(f->record.formatTag) : "");
    row.push_back(field(FmtChannels, f ? f->record.nChannels : 0));
    row.push_back(f && f->Has(FmtRate, 4) ? std::to_string(f->record.samplesPerSec) : "");
    row.push_back(field(FmtBits, f ? f->record.bitsPerSample : 0));
    row.push_back(r.audio ? Number(r.audio->frames) : "");
    row.push_back(r.audio ? Number(r.audio->seconds) : "");
}

} // namespace

const std::vector<std::string>& CsvColumns()
{
    static const std::vector<std::string> columns = [] {
        std::vector<std::string> c(TechnicalColumns.begin(), TechnicalColumns.end());
        c.insert(c.end(), BextColumns.begin(), BextColumns.end());
        for (const char* id : InfoIds)
            c.push_back(std::string("info.") + id);
        return c;
    }();
    return columns;
}

std::optional<std::string> EditableCell(const Record& r, std::string_view key)
{
    if (key.starts_with("bext.")) {
        if (!r.bext)
            return BextCell(BextRecord{}, key.substr(5)).has_value() ? std::optional(std::string())
                                                                     : std::nullopt;
        return BextCell(*r.bext, key.substr(5));
    }
    if (!key.starts_with("info.") || key.size() != 9)
        return std::nullopt;
    for (const auto& [id, text] : r.info)
        if (key.substr(5) == std::string_view(id.data(), 4))
            return text ? Text(*text) : "";
    return "";
}

std::vector<std::string> CsvCells(const Record& r)
{
    std::vector<std::string> row;
    row.push_back(Guard(Text(r.path)));
    row.push_back(IsUtf8(r.path) ? "" : Base64(r.path));
    row.push_back(r.error ? "error" : "ok");
    row.push_back(r.error.value_or(""));
    row.push_back(r.container ? Text(*r.container) : "");
    FormatCells(r, row);
    row.push_back(Codes(r, Severity::Error));
    row.push_back(Codes(r, Severity::Warning));
    row.push_back(Codes(r, Severity::Info));
    row.push_back(Digest(r.md5Stored));
    row.push_back(Digest(r.md5Computed));
    const std::optional<LoudnessFigures>& l = r.loudness;
    row.push_back(l ? Number(l->integratedLufs) : "");
    row.push_back(l ? Number(l->rangeLu) : "");
    row.push_back(l ? Number(l->maxTruePeakDbtp) : "");
    for (size_t i = TechnicalColumns.size(); i < CsvColumns().size(); i++)
        row.push_back(Guard(EditableCell(r, CsvColumns()[i]).value_or("")));
    return row;
}

} // namespace sondrel
