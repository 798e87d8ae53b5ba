// Audio streaming.
#include "stream.h"

void DataChunk(WalkState&) {}
