// The text modes' option flags: process-wide, set by the command line before
// the file is opened and read by the text modes alone.
#pragma once

namespace sondrel {

extern int WantChunks;
extern int WantRawChunks;
extern int WantFmt;
extern int WantBext;
extern int WantiXML;
extern int WantData;
extern int WantMono;
extern int WantDryRun;

} // namespace sondrel
