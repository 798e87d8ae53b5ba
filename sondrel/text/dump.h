// The text modes' per-file driver: the one walker, with each chunk handed to
// the report, the stream or the export as the option flags select.
#pragma once

namespace sondrel {

// Walks the file at `path` and writes the end marker.
void DumpWaveFile(const char* path);

} // namespace sondrel
