// Process-wide option flags and the format record shared by the walker, the
// reports and the audio streaming.
#pragma once

#include <cstdint>

// Set to 1 by the command line before the file is opened; read everywhere after.
extern int WantChunks;
extern int WantRawChunks;
extern int WantFmt;
extern int WantBext;
extern int WantiXML;
extern int WantData;
extern int WantMono;
extern int WantDryRun;

// The first 18 bytes of a "fmt " body, decoded from little-endian bytes.
struct WaveFormatRecord {
    uint16_t formatTag;
    uint16_t nChannels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
    uint16_t extraBytes;
};

// Size of the record as stored in the file.
constexpr unsigned WaveFormatRecordBytes = 18;
