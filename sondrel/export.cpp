// Raw chunk export.
#include "export.h"

void RIFFDumpChunk(int, uint64_t, uint64_t) {}
