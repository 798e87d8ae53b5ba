// A file as --set sees it before planning: the chunks the RIFF size covers
// (a killed run's appended bytes past it are not yet part of the file), and
// the bodies of bext, the LIST of INFO entries and iXML, read whole.
#pragma once

#include "inspect/record.h"
#include "write/plan.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sondrel
{

// Reads up to `count` bytes of the file as planned from at `offset` (the
// snapshot of the ranges the plan reads); returns how many arrived.
using EditReader = std::function<size_t(uint64_t offset, void* buffer, size_t count)>;

// An INFO entry of the LIST body: its header at `at` (from the body's start).
struct InfoEntry {
    FourCC id{};
    size_t at = 0;
    uint32_t size = 0;
    std::string value; // cut at its first zero byte
};

struct EditState {
    uint64_t fileBytes = 0;
    bool wide = false;               // RF64 or BW64
    std::optional<uint64_t> riffEnd; // where the RIFF size says the file ends
    std::vector<WalkedChunk> visible;
    std::optional<size_t> bext, list, ixml, ds64, data; // into visible
    std::string bextBody, listBody, ixmlBody;
    std::vector<InfoEntry> entries; // of `list`, trailing fillers included
    size_t valuesEnd = 0;           // where the trailing fillers of the list start
    std::string problem;            // why the file cannot be edited safely
    Record view;                    // bext and info as the visible chunks give them
};

// The byte ranges the plan is made from; read again before each write.
std::vector<ByteRange> EditReads(const Record& r, uint64_t fileBytes);

// The state from the record's chunks and the bytes `read` gives.
EditState LoadState(const Record& r, uint64_t fileBytes, const EditReader& read);

// What `--json` shows for a key, as a change's value: null where the file
// has no such field; an integer for the time reference.
ShownValue Shown(const Record& view, const std::string& key);

} // namespace sondrel
