// Process-wide option flags, set by the command line before the file is
// opened and read everywhere after.
#pragma once

extern int WantChunks;
extern int WantRawChunks;
extern int WantFmt;
extern int WantBext;
extern int WantiXML;
extern int WantData;
extern int WantMono;
extern int WantDryRun;

// The inspector: one JSON record per file, with the audio's MD5 and loudness.
extern int WantJson;
extern int WantMD5;
extern int WantLoudness;

// The writers: a repaired copy of a file.
extern int WantRepair;
