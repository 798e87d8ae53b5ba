// The writers' one call into the inspector.
#include "write/inspection.h"

#include "inspect/inspect.h"
#include "inspect/measured.h"
#include "status.h"

#include <cerrno>
#include <sys/stat.h>

namespace sondrel {

Record InspectOpen(int fd)
{
    // Through the descriptor: the file inspected is the one open, whatever
    // its name points to meanwhile.
    struct stat st {
    };
    if (fstat(fd, &st) != 0) {
        Record r;
        r.error = Reason("Can't read file", errno);
        return r;
    }
    return InspectDescriptor(fd, static_cast<uint64_t>(st.st_size), "", InspectOptions{});
}

Measurement MeasureInto(Record& r, int fd, const InspectOptions& asked,
                        const std::function<void(uint64_t)>& progress)
{
    Measurement m;
    m.asked = asked;
    if (!r.audio)
        return m;
    AudioLayout layout;
    m.request = RequestFor(r, asked, layout);
    m.request.progress = progress;
    m.result = ReadAndMeasure(fd, r.audio->offset, r.audio->bytesInFile, layout, m.request);
    m.request.progress = nullptr; // the caller's line ends with the read
    if (m.result.readError == 0)
        CompareInto(r, m);
    return m;
}

void CompareInto(Record& r, const Measurement& m)
{
    TakeMeasurement(r, m.result, m.request, m.asked);
}

std::vector<Code> CodesOf(Record& r)
{
    SortFindings(r.findings);
    std::vector<Code> codes;
    for (const Finding& f : r.findings)
        codes.push_back(f.code);
    return codes;
}

bool HasCode(const Record& r, Code code)
{
    for (const Finding& f : r.findings)
        if (f.code == code)
            return true;
    return false;
}

} // namespace sondrel
