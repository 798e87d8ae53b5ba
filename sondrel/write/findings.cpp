// The one call of the inspector from the writers.
#include "write/findings.h"

#include "inspect/inspect.h"
#include "inspect/measured.h"

#include <string>

namespace sondrel {

Record InspectOpen(int fd)
{
    // Through the descriptor: the file inspected is the one open, whatever
    // its name points to meanwhile.
    return InspectFile(NamedEntry("/proc/self/fd/" + std::to_string(fd)), InspectOptions{});
}

Measurement MeasureInto(Record& r, int fd, const InspectOptions& asked)
{
    Measurement m;
    m.asked = asked;
    if (!r.audio)
        return m;
    AudioLayout layout;
    m.request = RequestFor(r, asked, layout);
    m.result = ReadAndMeasure(fd, r.audio->offset, r.audio->bytesInFile, layout, m.request);
    if (m.result.readError == 0)
        CompareInto(r, m);
    return m;
}

void CompareInto(Record& r, const Measurement& m)
{
    TakeMeasurement(r, m.result, m.request, m.asked);
}

std::vector<std::string> CodesOf(Record& r)
{
    SortFindings(r.findings);
    std::vector<std::string> codes;
    for (const Finding& f : r.findings)
        codes.push_back(f.Kind().text);
    return codes;
}

} // namespace sondrel
