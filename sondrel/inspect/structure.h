// The file's structure in the record: the findings of the walk, the RIFF
// size, duplicates, the format and the audio.
#pragma once

#include "inspect/record.h"

namespace sondrel {

// The chunks the record describes once: the first of each; later ones of the
// first six are duplicates.
struct Singles {
    const WalkedChunk* fmt = nullptr;
    const WalkedChunk* bext = nullptr;
    const WalkedChunk* data = nullptr;
    const WalkedChunk* ds64 = nullptr;
    const WalkedChunk* ixml = nullptr;
    const WalkedChunk* md5 = nullptr;
    const WalkedChunk* cue = nullptr;
    const WalkedChunk* fact = nullptr;
};

// The first of each single among the chunks.
Singles FindSingles(const std::vector<WalkedChunk>& chunks);

// The findings of the walk, the RIFF size check and the duplicates; the
// format, when decoded, gives a cut or unfinalised recording's seconds.
void DescribeStructure(Record& r, FileWalk& f, const Singles& s);

// The format chunk's fields, as far as the file holds them.
FormatChunk ReadFormat(FileWalk& f, const WalkedChunk& fmt);

// The format and the audio, with their findings.
void DescribeFormatAndAudio(Record& r, FileWalk& f, const Singles& s);

} // namespace sondrel
