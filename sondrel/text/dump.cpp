// The text modes' per-file driver.
#include "text/dump.h"

#include "riff.h"
#include "text/export.h"
#include "text/flags.h"
#include "text/report.h"
#include "text/stream.h"

#include <cstdio>

namespace
{

void Dispatch(WalkState& w)
{
    if (WantRawChunks) {
        if (!IdIs(w.header, "data") && w.header.size <= 4095)
            RIFFDumpChunk(w.fd, w.chunkOffset, w.steppedSize);
        return;
    }
    if (IdIs(w.header, "bext"))
        BextChunk(w);
    else if (IdIs(w.header, "iXML")) {
        if (WantiXML)
            IXMLChunk(w);
    } else if (IdIs(w.header, "fmt "))
        FmtChunk(w);
    else if (IdIs(w.header, "data")) {
        if (WantData)
            DataChunk(w);
    }
}

void WriteEndMarker()
{
    if (WantRawChunks)
        putchar('\n');
    else
        fputs("+OK\n", stderr);
}

} // namespace

void DumpWaveFile(const char* path)
{
    WalkWaveFile(path, Dispatch);
    WriteEndMarker();
}
