// The text modes' option flags.
#include "text/flags.h"

namespace sondrel {

int WantChunks = 0;
int WantRawChunks = 0;
int WantFmt = 0;
int WantBext = 0;
int WantiXML = 0;
int WantData = 0;
int WantMono = 0;
int WantDryRun = 0;

} // namespace sondrel
