// The text modes' per-file driver: the one walker, with each chunk handed to
// the report, the stream or the export as the option flags select.
#pragma once

#include "text/options.h"

namespace sondrel {

// Walks the file at `path` in the modes `options` asks for and writes the
// end marker.
void DumpWaveFile(const char* path, const TextOptions& options);

} // namespace sondrel
