// Bytes to records: the little-endian layouts of the chunks that both the
// text reports and the inspector read.  No I/O here.
#pragma once

#include "bytes.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

// ---- "fmt " ----------------------------------------------------------------

// The first 18 bytes of a "fmt " body, decoded from little-endian bytes.
struct WaveFormatRecord {
    uint16_t formatTag;
    uint16_t nChannels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
    uint16_t extraBytes;
};

// Size of the record as stored in the file.
constexpr unsigned WaveFormatRecordBytes = 18;
using FormatBytes = std::array<unsigned char, WaveFormatRecordBytes>;

WaveFormatRecord DecodeFormat(const FormatBytes& b);

constexpr uint16_t TagPCM = 0x0001;
constexpr uint16_t TagIEEEFloat = 0x0003;
constexpr uint16_t TagALaw = 0x0006;
constexpr uint16_t TagMuLaw = 0x0007;
constexpr uint16_t TagExtensible = 0xFFFE;

// Bytes a sample takes in its container: whole bytes, the sample left-justified.
constexpr uint32_t ContainerBytes(uint32_t bitsPerSample)
{
    return (bitsPerSample + 7) / 8;
}

// The block align that PCM, float, A-law and mu-law frames must have.
constexpr uint64_t ExpectedBlockAlign(uint32_t channels, uint32_t bitsPerSample)
{
    return uint64_t{channels} * ContainerBytes(bitsPerSample);
}

// The extensible format's 22 bytes after the record.
constexpr size_t FormatExtensionBytes = 22;
using ExtensionArea = std::array<unsigned char, FormatExtensionBytes>;
struct FormatExtension {
    uint16_t validBits;
    uint32_t channelMask;
    std::array<unsigned char, 16> subFormat;
};
FormatExtension DecodeExtension(const ExtensionArea& b);

// The sub-format's first group: the format tag it stands for (1 PCM, 3 float).
uint32_t SubFormatGroup(const FormatExtension& e);

// "00000001-0000-0010-8000-00AA00389B71": the first three groups little-endian.
std::string GuidText(const std::array<unsigned char, 16>& g);

// Names of the common format tags ("PCM", "IEEE float", "MPEG", ...), "unknown" else.
const char* FormatTagName(uint16_t tag);

// The text report's older, shorter list: "PCM", "MPEG", "Extensible", else "Unknown".
const char* WavFormatAsStr(uint16_t tag);

// Samples of these formats are whole-byte values in frames of block_align
// bytes: PCM, float, A-law and mu-law.
bool IsLinearTag(uint16_t tag);

// A "fmt " body as far as the file holds it.  A field whose bytes are not
// all there is absent (Has), never pieced together from the bytes that are.
struct FormatChunk {
    WaveFormatRecord record{};                // absent fields read as zero
    size_t bytes = 0;                         // body bytes decoded, at most 18 + 22
    std::optional<FormatExtension> extension; // all 22 bytes, extension size >= 22
    // The extensible format's fields one by one: a body cut inside the
    // sub-format still holds these.
    std::optional<uint16_t> validBits;
    std::optional<uint32_t> channelMask;
    // IMA and Microsoft ADPCM: the samples a block holds, from the extension.
    std::optional<uint16_t> samplesPerBlock;
    uint16_t sampleTag = 0; // the samples' format: the sub-format's for extensible

    bool Has(size_t offset, size_t width) const { return bytes >= offset + width; }
};
// Field offsets in the record.
constexpr size_t FmtTag = 0, FmtChannels = 2, FmtRate = 4, FmtByteRate = 8, FmtBlockAlign = 12,
                 FmtBits = 14;

FormatChunk DecodeFormatChunk(const unsigned char* body, size_t size);

constexpr uint16_t TagMsAdpcm = 0x0002;
constexpr uint16_t TagImaAdpcm = 0x0011;

// ADPCM frames in `bytes` of audio: whole blocks times the samples a block
// holds, plus the samples of a last partial block.  Null when the format
// does not say how many a block holds.
std::optional<uint64_t> AdpcmFrames(const FormatChunk& f, uint64_t bytes);

// Speaker names of the channel mask's standard bits, in bit order.
std::vector<const char*> SpeakerNames(uint32_t channelMask);

// ---- "bext" ----------------------------------------------------------------

constexpr size_t BextDescription = 0;
constexpr size_t BextOriginator = 256;
constexpr size_t BextOriginatorRef = 288;
constexpr size_t BextDate = 320;
constexpr size_t BextTime = 330;
constexpr size_t BextTimeReference = 338;
constexpr size_t BextVersion = 346;
constexpr size_t BextUmid = 348;
constexpr size_t BextLoudness = 412;
constexpr size_t BextCodingHistory = 602;

// Text fields as stored, cut at their first zero byte.
struct BextRecord {
    std::string description, originator, originatorReference, date, time;
    uint64_t timeReference = 0;
    uint16_t version = 0;
    std::array<unsigned char, 64> umid{};
    // Integrated, range, true peak, momentary, short-term: hundredths.
    std::array<int16_t, 5> loudness{};
    // Bytes 412 to 601: version 2's loudness values, then reserved bytes.
    std::array<unsigned char, BextCodingHistory - BextLoudness> afterUmid{};
    std::string codingHistory;
    size_t storedBytes = 0; // the body's length: a short one lacks later fields
    bool cut = false;       // the chunk runs past the end of the file

    // Whether the body holds all `width` bytes of the field at `offset`.
    bool Has(size_t offset, size_t width) const { return storedBytes >= offset + width; }
    // Version 2 added the loudness fields, each of which the body may lack.
    bool HasLoudness() const { return Has(BextVersion, 2) && version >= 2; }
    bool HasLoudnessValue(size_t i) const { return Has(BextLoudness + 2 * i, 2); }
    // All five 0: what writers leave when they set version 2 and measured nothing.
    bool LoudnessAllZero() const
    {
        return std::all_of(loudness.begin(), loudness.end(), [](int16_t v) { return v == 0; });
    }
    // The coding history runs to the chunk's end, so a cut chunk has none whole.
    bool HasCodingHistory() const { return Has(BextCodingHistory, 0) && !cut; }
};

// Decodes `size` body bytes; missing bytes read as zeros.
BextRecord DecodeBext(const unsigned char* body, size_t size);

// Text of up to `width` bytes, ending at the first zero byte.
std::string FieldText(const unsigned char* p, size_t width);

// ---- "ds64" ----------------------------------------------------------------

struct Ds64Entry {
    FourCC id;
    uint64_t size;
};
struct Ds64Record {
    size_t fieldBytes = 0; // how many of the 28 fixed bytes were there
    uint64_t riffSize = 0, dataSize = 0, sampleCount = 0;
    std::vector<Ds64Entry> table;
};
// The fixed fields: RIFF size, data size, sample count and table length.
constexpr size_t Ds64FixedBytes = 28;
// Table entries are read only as far as the body holds them.
Ds64Record DecodeDs64(const unsigned char* body, size_t size);

// ---- sub-chunks of LIST, and cue points -------------------------------------

struct SubChunk {
    FourCC id;
    const unsigned char* body;
    size_t size; // what the body holds here, never past the list
    bool whole;  // the list holds all the bytes its header declares
};
// The sub-chunks of a LIST body after its 4-byte list type; a sub-chunk that
// runs past the list keeps what is there and ends the list.
std::vector<SubChunk> SplitSubChunks(const unsigned char* body, size_t size);

struct CuePoint {
    uint32_t id;
    uint32_t position; // the sample offset field, in frames
};
std::vector<CuePoint> DecodeCues(const unsigned char* body, size_t size);

// The "ltxt" header before its text: cue id, length, purpose, country,
// language, dialect, code page.
constexpr size_t LabelledTextHeader = 20;

} // namespace sondrel
