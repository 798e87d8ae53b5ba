// The embed run: open and lock, read what the plan needs, measure the audio
// once, plan, check, write in place, inspect what was written.
#include "write/embed.h"

#include "file_text.h"
#include "inspect/inspect.h"
#include "inspect/measured.h"
#include "io.h"
#include "status.h"
#include "write/check_in_place.h"
#include "write/durable.h"
#include "write/bext_loudness.h"
#include "write/embed_plan.h"
#include "write/in_place.h"
#include "write/progress.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondrel {

namespace
{

// The inspector's verdict before the audio is read: a file with an error
// finding or an unfinalised recording is left alone.
bool Embeddable(Outcome& o, const Record& r)
{
    if (!MayWriteInPlace(o, r))
        return false;
    if (!r.audio) {
        Refuse(o, "The file has no audio to measure");
        return false;
    }
    return true;
}

// The audio read once; what is to be stored, or false with the outcome set.
bool Measure(Outcome& o, Record& r, int fd, const EmbedOptions& options, Measurement& m,
             EmbedValues& v)
{
    InspectOptions asked;
    asked.md5 = options.md5;
    asked.loudness = options.loudness;
    ByteProgress progress(o.path, r.audio ? r.audio->bytesInFile : 0);
    m = MeasureRecord(r, fd, asked, progress.Callback());
    if (m.result.readError != 0) {
        Fail(o, Reason("Can't read file", m.result.readError));
        return false;
    }
    o.findingsBefore = CodesOf(r.findings);
    o.audio = ByteRange{r.audio->offset, r.audio->bytesInFile, ""};
    if (options.md5 && m.result.md5) {
        v.md5 = m.result.md5;
        o.md5 = Hex(m.result.md5->data(), 16);
    }
    if (options.loudness && !r.loudness) {
        Refuse(o, "The audio's loudness cannot be measured");
        return false;
    }
    if (options.loudness) {
        v.loudness = r.loudness;
        o.loudness = AsStored(*r.loudness); // what the file will hold
    }
    return true;
}

void Write(Outcome& o, int fd, const Plan& plan, Snapshot& snapshot, const struct stat& st)
{
    const auto fileBytes = static_cast<uint64_t>(st.st_size);
    if (const std::string problem = CheckInPlace(plan, fileBytes, FileReader(fd), EmbedRules);
        !problem.empty()) {
        Fail(o, "The planned writes failed their check: " + problem);
        return;
    }
    InPlaceWriter writer(fd, snapshot, st);
    const InPlaceResult result = writer.Write(plan);
    o.writes = writer.Writes();
    if (result == InPlaceResult::Written)
        o.status = WriteStatus::Embedded;
    else if (result == InPlaceResult::Changed)
        Refuse(o, writer.Problem());
    else
        Fail(o, writer.Problem());
}

void EmbedOpen(Outcome& o, int fd, const struct stat& st, const EmbedOptions& options)
{
    Record r = InspectOpen(fd);
    o.findingsBefore = CodesOf(r.findings);
    if (!Embeddable(o, r))
        return;
    Snapshot snapshot;
    if (const int e = snapshot.Read(fd, PlannedReads(r))) {
        Fail(o, Reason("Can't read file", e));
        return;
    }
    Measurement m;
    EmbedValues values;
    if (!Measure(o, r, fd, options, m, values))
        return;
    const ByteReader read = [&snapshot](uint64_t offset, void* buffer, size_t count, int* error) {
        *error = 0;
        return snapshot.Get(offset, buffer, count);
    };
    values.replace = options.replace;
    const EmbedPlan e = PlanEmbed(r, read, values);
    if (!e.refusal.empty())
        Refuse(o, e.refusal);
    else if (e.plan.pieces.empty())
        o.status = WriteStatus::Unchanged;
    else
        Write(o, fd, e.plan, snapshot, st);
    if (o.status == WriteStatus::Embedded) {
        o.method = "in-place";
        o.changes = e.changes;
    }
    if (o.writes.empty())
        return;
    // Headers only: the audio is not read again, the measurement is compared.
    Record after = InspectOpen(fd);
    CompareMeasurement(after, m);
    o.findingsAfter = CodesOf(after.findings);
}

} // namespace

Outcome Embed(const std::string& path, const EmbedOptions& options)
{
    Outcome o;
    o.path = path;
    o.mode = "embed";
    o.listsChanges = options.replace;
    Descriptor file;
    struct stat st {
    };
    if (OpenLocked(o, file, st))
        EmbedOpen(o, file.fd, st, options);
    if (o.writes.empty())
        o.findingsAfter = o.findingsBefore; // untouched
    return o;
}

int RunEmbed(const std::vector<std::string>& paths, const EmbedOptions& options)
{
    int status = 0;
    for (const std::string& path : paths) {
        const Outcome o = Embed(path, options);
        if (!PrintOutcome(o))
            return 2;
        status = std::max(status, OutcomeStatus(o));
    }
    return status;
}

} // namespace sondrel
