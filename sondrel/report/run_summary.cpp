// The run's picture, one record at a time: every structure here has a cap,
// so a million records take the memory that ten thousand do.
#include "report/run_summary.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace sondrel {

namespace
{

constexpr size_t PathBytes = 1024, ListBytes = 1024, TextBytes = 256;

int SeverityRank(std::string_view s)
{
    return s == "error" ? 0 : s == "warning" ? 1 : s == "info" ? 2 : 3;
}

// Rows to give up first compare greater: a milder class, then a later record.
bool KeepBefore(const FileRow& a, const FileRow& b)
{
    return a.kind != b.kind ? a.kind < b.kind : a.order < b.order;
}

// A number as a key that sorts as text and reads as the record wrote it.
std::string NumberKey(const std::optional<double>& v)
{
    if (!v)
        return "none";
    if (*v == std::floor(*v) && std::fabs(*v) < 1e15)
        return std::to_string(static_cast<long long>(*v));
    return std::to_string(*v);
}

FileClass ClassOf(const RecordFacts& r)
{
    int worst = 3;
    for (const auto& f : r.findings)
        worst = std::min(worst, SeverityRank(f.severity));
    if (worst == 0)
        return FileClass::Errors;
    if (r.status == "error")
        return FileClass::Unreadable;
    if (worst == 1)
        return FileClass::Warnings;
    return worst == 2 || !r.findings.empty() ? FileClass::Infos : FileClass::Clean;
}

} // namespace

std::string CutText(std::string_view text, size_t bytes)
{
    if (text.size() <= bytes)
        return std::string(text);
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        end--; // not inside a character
    return std::string(text.substr(0, end)) + "\u2026";
}

void BoundedCounts::Add(std::string_view key, uint64_t n)
{
    auto it = counts_.find(std::string(key));
    if (it != counts_.end())
        it->second += n;
    else if (counts_.size() < Cap)
        counts_.emplace(CutText(key, TextBytes), n);
    else
        counts_["(other)"] += n;
}

RunSummary::RunSummary(size_t maxRows, size_t maxPoints) : maxRows_(maxRows), maxPoints_(maxPoints)
{
}

void RunSummary::AddBadLine(uint64_t lineNumber)
{
    if (badLines++ == 0)
        firstBadLine = lineNumber;
}

void RunSummary::Add(const RecordFacts& r)
{
    const uint64_t order = files++;
    const FileClass kind = ClassOf(r);
    switch (kind) {
    case FileClass::Errors:
        errors++;
        break;
    case FileClass::Unreadable:
        unreadable++;
        break;
    case FileClass::Warnings:
        warnings++;
        break;
    case FileClass::Infos:
    case FileClass::Clean:
        clean++;
        break;
    }
    if (r.seconds && *r.seconds > 0 && *r.seconds < 1e12)
        seconds += *r.seconds;
    // Values no file has (a hand-edited record) are left out, not converted.
    if (r.fileBytes && *r.fileBytes > 0 && *r.fileBytes < 1e18)
        bytes += static_cast<uint64_t>(*r.fileBytes);
    signalMeasured = signalMeasured || r.signalMeasured;
    if (r.status != "error") {
        containers.Add(r.container.empty() ? "none" : r.container);
        formatNames.Add(r.formatName.empty() ? "none" : r.formatName);
        rates.Add(NumberKey(r.sampleRate));
        bitDepths.Add(NumberKey(r.bits));
        channelCounts.Add(NumberKey(r.channels));
    }
    if (r.lufs) {
        loudnessFiles++;
        const double bin = std::floor(*r.lufs) - HistogramLow;
        if (bin >= 0 && bin < HistogramBins)
            histogram[static_cast<size_t>(bin)]++;
        else
            loudnessOutOfRange++;
        if (r.truePeak)
            AddPoint(*r.lufs, *r.truePeak, r.path);
    }
    std::set<std::string_view> seenCodes, seenSeverities;
    std::vector<std::string> codeList;
    std::vector<std::string> messages;
    size_t messageBytes = 0;
    if (!r.error.empty()) {
        messages.push_back(CutText(r.error, ListBytes));
        messageBytes += messages.back().size();
    }
    for (const auto& f : r.findings) {
        severityFindings[f.severity]++;
        if (seenSeverities.insert(f.severity).second)
            severityFiles[f.severity]++;
        auto it = codes.find(f.code);
        if (it == codes.end())
            it = codes
                     .emplace(codes.size() < MaxCodes ? CutText(f.code, TextBytes) : "(other)",
                              CodeCount{f.severity})
                     .first;
        CodeCount& c = it->second;
        c.findings++;
        if (SeverityRank(f.severity) < SeverityRank(c.severity))
            c.severity = f.severity;
        if (seenCodes.insert(f.code).second) {
            c.files++;
            if (codeList.size() < MaxRowCodes)
                codeList.push_back(CutText(f.code, TextBytes));
        }
        if (messageBytes < ListBytes) {
            messages.push_back(CutText(f.message, ListBytes - messageBytes));
            messageBytes += messages.back().size();
        }
    }
    if (kind == FileClass::Clean && r.status != "error")
        return;
    withFindings++;
    FileRow row{order,
                kind,
                CutText(r.path, PathBytes),
                std::move(codeList),
                std::move(messages),
                CutText(r.description, TextBytes),
                CutText(r.note, TextBytes),
                r.lufs,
                r.truePeak};
    AddRow(std::move(row));
}

void RunSummary::AddRow(FileRow row)
{
    if (maxRows_ == 0)
        return;
    if (rows_.size() == maxRows_) {
        if (!KeepBefore(row, rows_.front()))
            return;
        std::pop_heap(rows_.begin(), rows_.end(), KeepBefore);
        rows_.back() = std::move(row);
    } else {
        rows_.push_back(std::move(row));
    }
    std::push_heap(rows_.begin(), rows_.end(), KeepBefore);
}

// Reservoir sampling (Vitter's algorithm R) with a fixed-seed xorshift, so
// that every file has the same chance of a dot and a page can be made again.
void RunSummary::AddPoint(double lufs, double truePeak, const std::string& path)
{
    const uint64_t seen = pointsSeen_++;
    size_t slot = points_.size();
    if (points_.size() == maxPoints_) {
        random_ ^= random_ << 13;
        random_ ^= random_ >> 7;
        random_ ^= random_ << 17;
        const uint64_t pick = random_ % (seen + 1);
        if (pick >= maxPoints_)
            return;
        slot = static_cast<size_t>(pick);
    }
    ScatterPoint p{lufs, truePeak, CutText(path, TextBytes)};
    if (slot == points_.size())
        points_.push_back(std::move(p));
    else
        points_[slot] = std::move(p);
}

std::vector<FileRow> RunSummary::Rows() const
{
    std::vector<FileRow> rows = rows_;
    std::sort(rows.begin(), rows.end(), KeepBefore);
    return rows;
}

} // namespace sondrel
