// The file's structure in the record: the findings of the walk, the RIFF
// size, duplicates, the format and the audio.
#pragma once

#include "inspect/record.h"

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

// Finds the singles among r.chunks, with a finding for each duplicate.
Singles FindSingles(Record& r);

// The findings of the walk and the RIFF size check.
void DescribeStructure(Record& r, const FileWalk& f);

// The format and the audio, with their findings.
void DescribeFormatAndAudio(Record& r, FileWalk& f, const Singles& s);
