// The one call of the inspector from the writers.
#include "write/findings.h"

#include "inspect/inspect.h"

InspectedCodes FindingCodes(const std::string& path)
{
    const Record r = InspectFile(NamedEntry(path), InspectOptions{});
    InspectedCodes found;
    found.inspected = !r.error;
    for (const Finding& f : r.findings)
        found.codes.push_back(f.Kind().text);
    return found;
}
