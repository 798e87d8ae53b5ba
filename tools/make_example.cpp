// Writes example.wav: a second of 24-bit stereo tone with the metadata a
// field recorder leaves, so the tool has something realistic to show.
#include "wav_builder.h"

#include <cstdio>

using namespace wavgen;

namespace
{

const char* const ExampleIXML =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<BWFXML>\n"
    "  <IXML_VERSION>2.10</IXML_VERSION>\n"
    "  <PROJECT>Harbour Documentary</PROJECT>\n"
    "  <SCENE>12A</SCENE>\n"
    "  <TAKE>3</TAKE>\n"
    "  <TAPE>DAY04</TAPE>\n"
    "  <NOTE>Boom and lav, wind from the west</NOTE>\n"
    "  <SPEED>\n"
    "    <TIMECODE_RATE>25/1</TIMECODE_RATE>\n"
    "    <TIMECODE_FLAG>NDF</TIMECODE_FLAG>\n"
    "    <FILE_SAMPLE_RATE>48000</FILE_SAMPLE_RATE>\n"
    "    <AUDIO_BIT_DEPTH>24</AUDIO_BIT_DEPTH>\n"
    "  </SPEED>\n"
    "  <TRACK_LIST>\n"
    "    <TRACK_COUNT>2</TRACK_COUNT>\n"
    "    <TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><NAME>Boom</NAME></TRACK>\n"
    "    <TRACK><CHANNEL_INDEX>2</CHANNEL_INDEX><NAME>Lav</NAME></TRACK>\n"
    "  </TRACK_LIST>\n"
    "</BWFXML>\n";

std::string ExampleFile()
{
    BextFields bext;
    bext.description = "Scene 12A take 3: harbour ambience, boom left, lav right";
    bext.originator = "Field Recorder FR-2";
    bext.originatorReference = "FR2-0004-000123";
    bext.originationDate = "2026-11-30";
    bext.originationTime = "14:05:09";
    bext.timeReference = 2434032000ull; // samples since midnight at 14:05:09, past 2^31
    bext.version = 1;
    bext.codingHistory = "A=PCM,F=48000,W=24,M=stereo,T=Field Recorder FR-2\r\n";
    const uint32_t rate = 48000;
    const double tones[2] = {440.0, 660.0};
    std::string audio = SinePCM(rate, 24, rate, tones, 2);
    std::string chunks = Chunk("fmt ", FmtBody(1, 2, rate, 24)) + Chunk("bext", BextBody(bext)) +
                         Chunk("iXML", ExampleIXML) + Chunk("data", audio);
    return Wave(chunks);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_example OUTPUT.wav\n");
        return 2;
    }
    if (!WriteFile(argv[1], ExampleFile())) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
