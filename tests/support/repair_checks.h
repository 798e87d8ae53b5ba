// What every repair must hold to, shared by the repair tests: IN unchanged,
// OUT's audio the whole frames of IN's, every kept chunk byte-equal and in
// order, none of the mended findings left, nothing left behind.
#pragma once

#include "run_tool.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using Json = nlohmann::ordered_json;

// Stands for the data chunk in RepairCase::kept.
extern const std::string DataMark;

struct RepairCase {
    std::string what;
    std::string in;                // IN's bytes
    std::vector<std::string> kept; // whole chunks (header, body, pad) in OUT's order after ds64
    std::string audio;             // OUT's audio
    std::vector<std::string> dropped = {}; // the `what` of each range left out, in order
    std::string container = "RIFF";
    std::string status = "repaired";
};

enum class OutIs { New, Existing, Input, InMissingFolder };
enum class InIs { File, Missing, Folder };

struct RefusalCase {
    std::string what;
    std::string in;
    int exit;
    std::string status;
    OutIs out = OutIs::New;
    InIs input = InIs::File;
};

Json ParseLine(const std::string& out);
// `sondrel --json [--md5] PATH`'s record.
Json InspectRecord(const std::string& path, bool md5);
// Each item's `key` (the items themselves when null).
std::vector<std::string> Column(const Json& array, const char* key);
std::string ReadRange(const std::string& path, uint64_t offset, size_t count);
// Names in the folder other than `expected`: temporary files left behind.
std::vector<std::string> Leftovers(const TempDir& dir, const std::vector<std::string>& expected);

// Repairs `c.in` with --md5 in a fresh folder and checks IN, OUT and the line.
void ExpectRepaired(const RepairCase& c);
void ExpectRefused(const RefusalCase& c);
// Runs the peer readers installed on `c`'s repaired file; returns how many ran.
size_t ExpectPeersRead(const RepairCase& c);
