// The inspection record of one file, in plain values: what the walk found,
// the decoded metadata chunks, the measurements and the findings.  The
// record writer turns it into one JSON line in the order scripts rely on.
#pragma once

#include "decode.h"
#include "inspect/findings.h"
#include "inspect/ixml.h"
#include "inspect/walk.h"
#include "measure/audio_read.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sondrel {

struct AudioInfo {
    uint64_t offset = 0;
    std::optional<uint64_t> bytes;
    uint64_t bytesInFile = 0;
    std::optional<uint64_t> frames;
    std::optional<double> seconds;
};

struct CueInfo {
    CuePoint point{};
    std::optional<std::string> label, note, text;
};

struct IxmlInfo {
    uint64_t bytes = 0;
    std::optional<IxmlDocument> document; // absent when not parsed
};

// A LIST/adtl text (labl, note, ltxt) and the cue id it names.
struct CueText {
    FourCC id;
    uint32_t cueId;
    uint64_t listOffset; // of its LIST chunk's header
};

// What the checks across chunks compare beyond the record's own fields.
struct AcrossChunks {
    std::optional<uint64_t> factCount;   // the first fact's (ds64's for 0xFFFFFFFF)
    std::optional<uint64_t> blockFrames; // ADPCM: the frames its blocks hold
    std::vector<CueText> orphanTexts;    // texts naming no cue point, up to a cap
    uint64_t orphansUnlisted = 0;        // those beyond the cap
    uint64_t firstUnlistedAt = 0;        // the LIST of the first of them
};

// How the walk found the container, beyond its chunks: what the writers
// plan from.
struct Container {
    bool wide = false;               // RF64 or BW64
    std::optional<uint64_t> riffEnd; // where the RIFF size (ds64's) says the file ends
    Ds64Sizes ds64;                  // the first ds64 chunk
    std::vector<WalkNote> notes;     // trailing bytes, another file, the chunk limit
};

struct Record {
    std::string path;
    std::optional<std::string> error;
    std::optional<FourCC> container;
    std::optional<uint64_t> fileBytes;
    std::vector<WalkedChunk> chunks;
    Container walked;
    std::optional<FormatChunk> format;
    std::optional<AudioInfo> audio;
    std::optional<BextRecord> bext;
    std::vector<std::pair<FourCC, std::optional<std::string>>> info; // null: cut by the file's end
    std::vector<CueInfo> cues;
    std::optional<IxmlInfo> ixml;
    std::optional<std::array<uint8_t, 16>> md5Stored, md5Computed;
    std::optional<LoudnessFigures> loudness;
    std::optional<SignalFigures> signal;
    AcrossChunks across;
    Findings findings;

    bool HasError() const { return error || HasErrorFinding(findings); }
};

struct InspectOptions {
    bool md5 = false;
    bool loudness = false;
    bool signal = false;
    // Told of the audio bytes read so far, for a progress line; may be empty.
    std::function<void(const std::string& path, uint64_t done, uint64_t total)> progress;
    bool csv = false; // a table row (--csv) instead of a JSON line
};

} // namespace sondrel
