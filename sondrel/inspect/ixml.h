// The fields of an iXML document that the inspector reports, read with
// pugixml: no entity beyond the predefined ones is expanded, nothing fetched.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

struct IxmlTrack {
    std::optional<int64_t> interleaveIndex; // null when not a decimal number
    std::optional<int64_t> channelIndex;
    std::optional<std::string> name;
};

struct IxmlFields {
    bool wellFormed = false;
    // Text of the root's children; null when absent or not well-formed.
    std::optional<std::string> project, scene, take, tape, note;
    std::optional<bool> circled; // TRUE / FALSE in any case
    // What bext and fmt also state, as written: BEXT/BWF_TIME_REFERENCE_LOW
    // and _HIGH, SPEED/TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO and _HI,
    // SPEED/FILE_SAMPLE_RATE, SPEED/AUDIO_BIT_DEPTH, TRACK_LIST/TRACK_COUNT.
    std::optional<std::string> timeReferenceLow, timeReferenceHigh, midnightLo, midnightHi;
    std::optional<std::string> fileSampleRate, audioBitDepth, trackCount;
};

// A parsed iXML body.  The parse is in place, so the document keeps the body
// beside its tree; a track list near the size cap is handed out one track at
// a time, never copied into a second list.
class IxmlDocument
{
  public:
    // Parses the body that `readBody` returns, up to its first zero byte;
    // a body that holds a reference is read twice.
    explicit IxmlDocument(const std::function<std::vector<unsigned char>()>& readBody);
    ~IxmlDocument();
    IxmlDocument(IxmlDocument&&) noexcept;
    IxmlDocument& operator=(IxmlDocument&&) noexcept;

    const IxmlFields& Fields() const { return fields; }
    // Each TRACK of the root's TRACK_LIST, in document order; none when the
    // document is not well-formed.
    void ForEachTrack(const std::function<void(const IxmlTrack&)>& visit) const;

  private:
    struct Tree;
    std::unique_ptr<Tree> tree;
    IxmlFields fields;
};

// A whole decimal number, blanks around it allowed; null otherwise.
std::optional<int64_t> DecimalNumber(const char* text);

} // namespace sondrel
