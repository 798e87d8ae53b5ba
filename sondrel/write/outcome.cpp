// The JSON line of a writing mode.
#include "write/outcome.h"

#include "inspect/record_writer.h"
#include "json_writer.h"
#include "status.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sondrel {

namespace
{

void Ranges(JsonWriter& j, const std::vector<ByteRange>& ranges)
{
    j.BeginArray();
    for (const ByteRange& r : ranges) {
        j.BeginObject();
        j.Member("offset", r.offset);
        j.Member("bytes", r.bytes);
        j.Key("what");
        j.FileText(r.what);
        j.EndObject();
    }
    j.EndArray();
}

void Codes(JsonWriter& j, const std::vector<Code>& codes)
{
    j.BeginArray();
    for (const Code c : codes)
        j.FileText(KindOf(c).text);
    j.EndArray();
}

void OptionalText(JsonWriter& j, const std::optional<std::string>& text)
{
    if (text)
        j.FileText(*text);
    else
        j.Null();
}

void Shown(JsonWriter& j, const ShownValue& v)
{
    if (v.number)
        j.Number(*v.number);
    else if (v.integer && v.text && !v.text->empty() &&
             v.text->find_first_not_of("0123456789") == std::string::npos)
        j.Unsigned(std::stoull(*v.text));
    else
        OptionalText(j, v.text);
}

void Changes(JsonWriter& j, const std::vector<Change>& changes)
{
    j.BeginArray();
    for (const Change& c : changes) {
        j.BeginObject();
        j.Key("key");
        j.FileText(c.key);
        j.Key("before");
        Shown(j, c.before);
        j.Key("after");
        Shown(j, c.after);
        j.EndObject();
    }
    j.EndArray();
}

} // namespace

std::string OutcomeLine(const Outcome& o)
{
    std::string line;
    JsonWriter j(line);
    j.BeginObject();
    j.Key("path");
    j.FileText(o.path);
    j.Key("mode");
    j.FileText(o.mode);
    j.Key("status");
    j.FileText(StatusText(o.status));
    j.Key("reason");
    OptionalText(j, o.reason);
    j.Key("output");
    OptionalText(j, o.output);
    j.Key("findings_before");
    Codes(j, o.findingsBefore);
    j.Key("findings_after");
    Codes(j, o.findingsAfter);
    j.Key("writes");
    Ranges(j, o.writes);
    j.Key("dropped");
    Ranges(j, o.dropped);
    j.Key("audio");
    if (o.audio) {
        j.BeginObject();
        j.Member("offset", o.audio->offset);
        j.Member("bytes", o.audio->bytes);
        j.EndObject();
    } else {
        j.Null();
    }
    j.Key("md5");
    OptionalText(j, o.md5);
    j.Key("loudness");
    o.loudness ? WriteLoudness(j, *o.loudness) : j.Null();
    if (o.listsChanges) {
        j.Key("method");
        OptionalText(j, o.method);
        j.Key("changes");
        Changes(j, o.changes);
    }
    j.EndObject();
    return line;
}

const char* StatusText(WriteStatus status)
{
    switch (status) {
    case WriteStatus::Repaired:
        return "repaired";
    case WriteStatus::Unchanged:
        return "unchanged";
    case WriteStatus::Embedded:
        return "embedded";
    case WriteStatus::Edited:
        return "edited";
    case WriteStatus::Planned:
        return "planned";
    case WriteStatus::Refused:
        return "refused";
    case WriteStatus::Error:
        break;
    }
    return "error";
}

int OutcomeStatus(const Outcome& o)
{
    if (o.status == WriteStatus::Error)
        return 2;
    const bool mismatch = std::find(o.findingsAfter.begin(), o.findingsAfter.end(),
                                    Code::Md5Mismatch) != o.findingsAfter.end();
    return o.status == WriteStatus::Refused || mismatch ? 1 : 0;
}

void Refuse(Outcome& o, std::string reason)
{
    o.status = WriteStatus::Refused;
    o.reason = std::move(reason);
}

bool OpenLocked(Outcome& o, Descriptor& file, struct stat& st)
{
    const std::string why = OpenAndLock(o.path, file, st);
    if (!why.empty())
        Fail(o, why);
    return why.empty();
}

bool MayWriteInPlace(Outcome& o, const Record& r)
{
    if (r.error) {
        if (HasCode(r.findings, Code::NotWave))
            Refuse(o, "Not a WAVE file");
        else
            Fail(o, *r.error);
        return false;
    }
    for (const Finding& f : r.findings) {
        if (f.Kind().severity == Severity::Error || f.code == Code::DataSizeUnset) {
            Refuse(o,
                   std::string("The file has the finding ") + f.Kind().text + ": repair it first");
            return false;
        }
    }
    return true;
}

void Fail(Outcome& o, std::string reason)
{
    o.status = WriteStatus::Error;
    o.reason = std::move(reason);
}

bool PrintOutcome(const Outcome& o)
{
    const std::string line = OutcomeLine(o) + "\n";
    if (fwrite(line.data(), 1, line.size(), stdout) == line.size() && fflush(stdout) == 0)
        return true;
    ReportWriteFailure();
    return false;
}

} // namespace sondrel
