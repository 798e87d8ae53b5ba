// Every finding code: its text, severity and whether it is about the whole file.
#include "inspect/findings.h"

#include <algorithm>
#include <array>

namespace sondrel {

namespace
{

using enum Severity;

constexpr FindingKind Table[] = {
    {Code::NotWave, "not-wave", Error, true},
    {Code::ChunkTruncated, "chunk-truncated", Error, false},
    {Code::PadByteMissing, "pad-byte-missing", Warning, false},
    {Code::RiffSizeMismatch, "riff-size-mismatch", Warning, true},
    {Code::DataSizeUnset, "data-size-unset", Warning, false},
    {Code::DataSizeStale, "data-size-stale", Warning, false},
    {Code::Ds64Missing, "ds64-missing", Error, false},
    {Code::FmtMissing, "fmt-missing", Error, true},
    {Code::FmtAfterData, "fmt-after-data", Warning, false},
    {Code::DataMissing, "data-missing", Warning, true},
    {Code::DuplicateChunk, "duplicate-chunk", Warning, false},
    {Code::BlockAlignMismatch, "block-align-mismatch", Warning, false},
    {Code::ByteRateMismatch, "byte-rate-mismatch", Warning, false},
    {Code::PartialFrame, "partial-frame", Warning, false},
    {Code::TrailingBytes, "trailing-bytes", Info, false},
    {Code::ConcatenatedFile, "concatenated-file", Warning, false},
    {Code::BextDateFormat, "bext-date-format", Warning, false},
    {Code::BextTimeFormat, "bext-time-format", Warning, false},
    {Code::IxmlMalformed, "ixml-malformed", Warning, false},
    {Code::IxmlTooLarge, "ixml-too-large", Info, false},
    {Code::Md5ChunkInvalid, "md5-chunk-invalid", Warning, false},
    {Code::Md5Mismatch, "md5-mismatch", Error, true},
    {Code::LoudnessUnmeasurable, "loudness-unmeasurable", Info, true},
    {Code::LoudnessMismatch, "loudness-mismatch", Warning, true},
    {Code::ChunkLimit, "chunk-limit", Info, false},
    {Code::Ds64NotFirst, "ds64-not-first", Warning, false},
    {Code::FactCountMismatch, "fact-count-mismatch", Warning, false},
    {Code::NotExtensible, "not-extensible", Info, false},
    {Code::CueBeyondAudio, "cue-beyond-audio", Warning, false},
    {Code::CueLabelOrphan, "cue-label-orphan", Info, false},
    {Code::BextReservedNotZero, "bext-reserved-not-zero", Info, false},
    {Code::BextLoudnessZero, "bext-loudness-zero", Info, false},
    {Code::TimeReferenceMismatch, "time-reference-mismatch", Warning, false},
    {Code::IxmlFormatMismatch, "ixml-format-mismatch", Warning, false},
    {Code::CodingHistoryMismatch, "coding-history-mismatch", Info, false},
    {Code::Clipping, "clipping", Warning, false},
    {Code::DcOffset, "dc-offset", Warning, false},
    {Code::ChannelSilent, "channel-silent", Warning, false},
    {Code::DualMono, "dual-mono", Info, false},
    {Code::PhaseInverted, "phase-inverted", Warning, false},
    {Code::BitsPadded, "bits-padded", Info, false},
    {Code::Silence, "silence", Info, false},
    {Code::SignalUnmeasurable, "signal-unmeasurable", Info, false},
};

constexpr bool InCodeOrder()
{
    for (size_t i = 0; i < std::size(Table); i++)
        if (static_cast<size_t>(Table[i].code) != i)
            return false;
    return true;
}
static_assert(InCodeOrder(), "a row per code, in the enum's order");

} // namespace

const FindingKind& KindOf(Code code)
{
    return Table[static_cast<size_t>(code)];
}

std::span<const FindingKind> AllFindingKinds()
{
    return Table;
}

const char* SeverityText(Severity s)
{
    switch (s) {
    case Error:
        return "error";
    case Warning:
        return "warning";
    case Info:
        break;
    }
    return "info";
}

void AddFileFinding(Findings& f, Code code, std::string message)
{
    f.push_back({code, std::nullopt, std::nullopt, std::move(message)});
}

void AddChunkFinding(Findings& f, Code code, const FourCC& id, uint64_t offset, std::string message)
{
    f.push_back({code, id, offset, std::move(message)});
}

void AddOffsetFinding(Findings& f, Code code, uint64_t offset, std::string message)
{
    f.push_back({code, std::nullopt, offset, std::move(message)});
}

void SortFindings(Findings& f)
{
    std::stable_sort(f.begin(), f.end(), [](const Finding& a, const Finding& b) {
        return a.offset.has_value() && (!b.offset || *a.offset < *b.offset);
    });
}

bool HasErrorFinding(const Findings& f)
{
    return std::any_of(f.begin(), f.end(),
                       [](const Finding& x) { return x.Kind().severity == Error; });
}

std::vector<Code> CodesOf(Findings& f)
{
    SortFindings(f);
    std::vector<Code> codes;
    for (const Finding& finding : f)
        codes.push_back(finding.code);
    return codes;
}

bool HasCode(const Findings& f, Code code)
{
    return std::any_of(f.begin(), f.end(), [code](const Finding& x) { return x.code == code; });
}

} // namespace sondrel
