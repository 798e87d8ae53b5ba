// What the inspector can find wrong with a file, as data: a code is an
// enumerator, so a misspelt one does not compile.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sondrel {

enum class Severity { Error, Warning, Info };

// In the order of the rows in findings.cpp.
enum class Code {
    NotWave,
    ChunkTruncated,
    PadByteMissing,
    RiffSizeMismatch,
    DataSizeUnset,
    DataSizeStale,
    Ds64Missing,
    FmtMissing,
    FmtAfterData,
    DataMissing,
    DuplicateChunk,
    BlockAlignMismatch,
    ByteRateMismatch,
    PartialFrame,
    TrailingBytes,
    ConcatenatedFile,
    BextDateFormat,
    BextTimeFormat,
    IxmlMalformed,
    IxmlTooLarge,
    Md5ChunkInvalid,
    Md5Mismatch,
    LoudnessUnmeasurable,
    LoudnessMismatch,
    ChunkLimit,
    // One chunk held against another.
    Ds64NotFirst,
    FactCountMismatch,
    NotExtensible,
    CueBeyondAudio,
    CueLabelOrphan,
    BextReservedNotZero,
    BextLoudnessZero,
    TimeReferenceMismatch,
    IxmlFormatMismatch,
    CodingHistoryMismatch,
    // What the audio itself says (--signal).
    Clipping,
    DcOffset,
    ChannelSilent,
    DualMono,
    PhaseInverted,
    BitsPadded,
    Silence,
    SignalUnmeasurable,
};

struct FindingKind {
    Code code;
    const char* text; // the code as records show it
    Severity severity;
    bool wholeFile; // chunk and offset are null
};

const FindingKind& KindOf(Code code);
// Every row of the table, in the enum's order.
std::span<const FindingKind> AllFindingKinds();
const char* SeverityText(Severity s);

struct Finding {
    Code code;
    std::optional<FourCC> chunk;
    std::optional<uint64_t> offset;
    std::string message;

    const FindingKind& Kind() const { return KindOf(code); }
};

using Findings = std::vector<Finding>;

// A finding about the whole file.
void AddFileFinding(Findings& f, Code code, std::string message);
// A finding about one chunk, at the offset of its header.
void AddChunkFinding(Findings& f, Code code, const FourCC& id, uint64_t offset,
                     std::string message);
// A finding about bytes that make no chunk (trailing bytes), at their offset.
void AddOffsetFinding(Findings& f, Code code, uint64_t offset, std::string message);

// File order; whole-file findings last.
void SortFindings(Findings& f);

bool HasErrorFinding(const Findings& f);

// The codes of the findings, sorted first into their order.
std::vector<Code> CodesOf(Findings& f);
// There is a finding of `code`.
bool HasCode(const Findings& f, Code code);

} // namespace sondrel
