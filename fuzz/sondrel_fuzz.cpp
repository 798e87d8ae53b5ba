// libFuzzer target: runs the whole walk on arbitrary file bytes under one
// option set, chosen with SONDREL_FUZZ_OPTIONS (for example "--data --mono");
// "--repair" repairs each input into a memory file and inspects the copy;
// "--embed" plans an MD5 and loudness into each input and inspects the
// result of the writes; "--set" plans edits of its metadata and holds the
// writes to their checks; "--json --signal" measures every input's signal.
#include "cli/cli.h"
#include "decode.h"
#include "inspect/inspect.h"
#include "inspect/measured.h"
#include "record_keys.h"
#include "riff.h"
#include "walk_in_process.h"
#include "write/check_in_place.h"
#include "write/check_new_file.h"
#include "write/edit_keys.h"
#include "write/edit_plan.h"
#include "write/embed_plan.h"
#include "write/outcome.h"
#include "write/plan.h"
#include "write/repair_plan.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using namespace sondrel;

namespace
{

std::string Options;

// The mode's option is among the words of the set.
bool Asks(const std::string& option)
{
    return (" " + Options + " ").find(" " + option + " ") != std::string::npos;
}

// The option set is fixed for a fuzzing session: its words are options.
TextOptions TextModes()
{
    ResetRunState();
    RunOptions options;
    bool any = false;
    size_t at = 0;
    while (at < Options.size()) {
        size_t end = Options.find(' ', at);
        if (end == std::string::npos)
            end = Options.size();
        std::string word = Options.substr(at, end - at);
        if (!word.empty() && !SetOption(options, word.c_str()))
            abort(); // a typo in SONDREL_FUZZ_OPTIONS must not fuzz the wrong thing
        any = any || !word.empty();
        at = end + 1;
    }
    if (!any)
        options.text.chunks = true;
    return options.text;
}

// The inspector's record must be one valid JSON object (the parser also
// insists on valid UTF-8) with the record's keys in order, written in
// nlohmann-json's own compact form.
void CheckRecord(const std::string& line)
{
    if (line.find('\n') != std::string::npos)
        abort();
    const auto record = nlohmann::ordered_json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object() || record.size() != std::size(RecordKeys) ||
        record.dump() != line)
        abort();
    size_t n = 0;
    for (const auto& item : record.items())
        if (item.key() != RecordKeys[n++])
            abort();
    // The signal has a value per channel, and no channel more clipped
    // samples than the audio has frames.
    const auto& signal = record["signal"];
    if (signal.is_null())
        return;
    const auto& clipped = signal["clipped_samples"];
    if (clipped.size() != record["format"]["channels"] ||
        signal["peak_dbfs"].size() != clipped.size())
        abort();
    for (const auto& c : clipped)
        if (c > record["audio"]["frames"])
            abort();
}

// Every fourth input is also hashed and measured: enough to reach that code
// without slowing the walk's fuzzing down.
void Inspect(const char* path, const uint8_t* data, size_t size)
{
    InspectOptions options;
    options.md5 = options.loudness = size > 0 && (data[size - 1] & 3) == 0;
    options.signal = Asks("--signal");
    bool failed = false;
    CheckRecord(InspectRecordLine(path, options, &failed));
}

// The input's bytes as the planners read a file.
ByteReader MemoryReader(const uint8_t* data, size_t size)
{
    return [data, size](uint64_t offset, void* buffer, size_t count, int* error) {
        *error = 0;
        count = offset < size ? std::min<size_t>(count, size - offset) : 0;
        std::memcpy(buffer, data + offset, count);
        return count;
    };
}

nlohmann::json RecordOf(int fd)
{
    bool failed = false;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return nlohmann::json::parse(InspectRecordLine(path.c_str(), InspectOptions{}, &failed));
}

// The repaired copy: its plan passes its own check, the inspector finds none
// of what a repair mends in it, and its audio is the start of the input's.
// Every byte of the input is copied, dropped, or in a header the copy
// writes anew (the file header, the data header, the ds64 sizes), once.
const WalkedChunk& First(const Record& r, const char (&id)[5])
{
    return *std::find_if(r.chunks.begin(), r.chunks.end(),
                         [&](const WalkedChunk& c) { return IdIs(c.id, id); });
}

void CheckAccounting(const Record& source, const Plan& plan, size_t size)
{
    std::vector<uint8_t> seen(size, 0);
    const auto mark = [&](uint64_t offset, uint64_t bytes) {
        for (uint64_t at = offset; at < offset + bytes && at < size; at++)
            seen[at]++;
    };
    for (const Piece& p : plan.pieces)
        if (p.from)
            mark(*p.from, p.bytes);
    for (const ByteRange& d : plan.dropped)
        mark(d.offset, d.bytes);
    mark(0, FirstChunkOffset);
    mark(First(source, "data").offset, 8);
    const bool wide = plan.pieces[0].literal.compare(0, 4, "RIFF") != 0;
    const bool ds64 = std::any_of(source.chunks.begin(), source.chunks.end(),
                                  [](const WalkedChunk& c) { return IdIs(c.id, "ds64"); });
    // The ds64 that OUT writes anew replaces IN's, its pad byte included.
    if (wide && ds64) {
        const uint64_t body = First(source, "ds64").size;
        mark(
            First(source, "ds64").offset,
            std::min<uint64_t>(8 + body + (body & 1),
                               8 + Ds64FixedBytes + 12 * source.walked.ds64.Record().table.size()));
    }
    if (std::any_of(seen.begin(), seen.end(), [](uint8_t n) { return n != 1; }))
        abort();
}

void Repair(int in, const uint8_t* data, size_t size)
{
    const Record source = InspectOpen(in);
    const RepairPlan r = PlanRepair(source);
    if (!r.refusal.empty())
        return;
    const Plan& plan = r.plan;
    CheckAccounting(source, plan, size);
    const ByteReader read = MemoryReader(data, size);
    if (!CheckNewFile(plan, size, read).empty())
        abort();
    const int out = memfd_create("sondrel-fuzz-repaired", 0);
    const char* step = nullptr;
    if (out < 0 || ftruncate(out, static_cast<off_t>(plan.length)) != 0 ||
        WritePlan(plan, in, out, &step) != 0)
        abort();
    for (const Finding& f : InspectOpen(out).findings)
        if (IsRepairedFinding(f.code))
            abort();
    const nlohmann::json after = RecordOf(out);
    const nlohmann::json before = RecordOf(in);
    const uint64_t audioAt = after["audio"]["offset"], audioBytes = after["audio"]["bytes_in_file"];
    if (before["audio"]["offset"] != plan.audioFrom || audioBytes != plan.audio.bytes ||
        audioBytes > before["audio"]["bytes_in_file"].get<uint64_t>())
        abort();
    std::string copied(audioBytes, '\0');
    if (pread(out, copied.data(), copied.size(), static_cast<off_t>(audioAt)) !=
            static_cast<ssize_t>(copied.size()) ||
        std::memcmp(copied.data(), data + plan.audioFrom, copied.size()) != 0)
        abort();
    close(out);
}

// The plan carried out on a copy of the input (in place) or into a new
// file (a rewrite): the audio is all there byte for byte, where it was when
// written in place, and the result has no error finding the input had not.
void Written(const Plan& plan, int in, const uint8_t* data, size_t size, bool rewrite)
{
    const int out = memfd_create("sondrel-fuzz-written", 0);
    const char* step = nullptr;
    if (out < 0 ||
        (rewrite ? ftruncate(out, static_cast<off_t>(plan.length)) != 0
                 : write(out, data, size) != static_cast<ssize_t>(size)) ||
        WritePlan(plan, in, out, &step) != 0)
        abort();
    const nlohmann::json before = RecordOf(in), after = RecordOf(out);
    const auto errors = [](const nlohmann::json& r) {
        return r["findings"].dump().find("\"error\"") != std::string::npos;
    };
    if ((errors(after) && !errors(before)) ||
        (rewrite ? after["audio"].is_null() != before["audio"].is_null()
                 : after["audio"] != before["audio"]))
        abort();
    if (before["audio"].is_object()) {
        const uint64_t from = before["audio"]["offset"], at = after["audio"]["offset"];
        const uint64_t bytes = before["audio"]["bytes_in_file"];
        std::string audio(bytes, '\0');
        if (after["audio"]["bytes_in_file"] != bytes ||
            pread(out, audio.data(), bytes, static_cast<off_t>(at)) !=
                static_cast<ssize_t>(bytes) ||
            std::memcmp(audio.data(), data + from, bytes) != 0)
            abort();
    }
    close(out);
}

// The writes of an embed that is not refused pass their check, and the file
// they leave has its audio where it was and no error finding the input had
// not.
void Embed(int in, const uint8_t* data, size_t size)
{
    const ByteReader read = MemoryReader(data, size);
    EmbedValues values;
    values.md5 = std::array<uint8_t, 16>{0x44, 0xDB, 0x67, 0xB7, 0x5F, 0x7D, 0xF4, 0x9F,
                                         0xF9, 0xBA, 0x3A, 0xC4, 0x9A, 0x74, 0x39, 0x1D};
    values.loudness = LoudnessFigures{-23.5, 4.25, -1.0, std::nullopt, -400.0};
    const EmbedPlan e = PlanEmbed(InspectOpen(in), read, values);
    if (!e.refusal.empty() || e.plan.pieces.empty())
        return;
    if (!CheckInPlace(e.plan, size, read, EmbedRules).empty())
        abort();
    Written(e.plan, in, data, size, false);
}

// Edits of a bext field alone, of the history and INFO values (grown,
// set, removed), and of the iXML: writes in place pass their check, a
// rewrite the new file's, and either leaves what Written holds.
void EditFile(int in, const uint8_t* data, size_t size)
{
    const Record r = InspectOpen(in);
    Outcome o;
    if (!MayWriteInPlace(o, r))
        return;
    const ByteReader read = MemoryReader(data, size);
    const EditReader get = [&read](uint64_t offset, void* buffer, size_t count) {
        int error = 0;
        return read(offset, buffer, count, &error);
    };
    const EditState state = LoadState(r, size, get);
    const std::vector<std::vector<const char*>> runs = {
        {"bext.description=fuzz"},
        {"bext.originator=fuzz", "bext.coding_history+=A=PCM,F=48000", "info.INAM=a name",
         "info.IART="},
        {"ixml=<BWFXML><PROJECT>fuzz</PROJECT></BWFXML>"}};
    for (const std::vector<const char*>& run : runs) {
        std::vector<Edit> edits(run.size());
        for (size_t i = 0; i < run.size(); i++)
            if (!SplitSetArgument(run[i], edits[i]) || !CheckEdit(edits[i]).empty())
                abort();
        const EditPlan e = PlanEdit(state, edits, get);
        if (!e.refusal.empty() || e.plan.pieces.empty())
            continue;
        const bool rewrite = !e.rewriteReason.empty();
        if (!(rewrite ? CheckNewFile(e.plan, size, read)
                      : CheckInPlace(e.plan, size, read, EditRules))
                 .empty())
            abort();
        Written(e.plan, in, data, size, rewrite);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* options = getenv("SONDREL_FUZZ_OPTIONS");
    Options = options ? options : "";
    // The program's output is not what is being tested; sanitizer reports
    // still reach the real standard error (descriptor 2).
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    close(devnull);
    stderr = fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int fd = memfd_create("sondrel-fuzz", 0);
    if (fd < 0)
        abort();
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))
        abort();
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (Asks("--set")) {
        EditFile(fd, data, size);
        close(fd);
        return 0;
    }
    const TextOptions text = TextModes();
    if (Asks("--repair"))
        Repair(fd, data, size);
    else if (Asks("--embed"))
        Embed(fd, data, size);
    else if (Asks("--json"))
        Inspect(path.c_str(), data, size);
    else
        WalkInProcess(path.c_str(), text);
    fflush(stdout);
    close(fd);
    return 0;
}
