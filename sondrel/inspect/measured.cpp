// The audio measured against what the file stores: the MD5 against an MD5
// chunk, the loudness against the bext values.
#include "inspect/measured.h"

#include "file_text.h"
#include "inspect/signal_findings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sondrel {

LoudnessFigures StoredFigures(const BextRecord& b)
{
    auto value = [&](size_t i) -> std::optional<double> {
        if (!b.HasLoudnessValue(i) || b.loudness[i] == 0x7FFF)
            return std::nullopt;
        return b.loudness[i] / 100.0;
    };
    return {value(0), value(1), value(2), value(3), value(4)};
}

namespace
{

AudioLayout LayoutOf(const FormatChunk& f)
{
    AudioLayout l;
    l.sampleTag = f.sampleTag;
    l.channels = f.record.nChannels;
    l.sampleRate = f.record.samplesPerSec;
    l.blockAlign = f.record.blockAlign;
    l.bitsPerSample = f.record.bitsPerSample;
    l.channelMask = f.channelMask;
    if (f.extension)
        l.validBits = f.extension->validBits;
    return l;
}

// Stored bext loudness to compare; none below version 2, or when all five
// are zero, as writers leave them when nothing was measured.
std::optional<LoudnessFigures> StoredLoudness(const BextRecord& b)
{
    if (!b.HasLoudness() || b.LoudnessAllZero())
        return std::nullopt;
    return StoredFigures(b);
}

bool Differs(const std::optional<double>& stored, const std::optional<double>& measured)
{
    return stored && measured && std::isfinite(*measured) && std::fabs(*stored - *measured) > 0.5;
}

void CompareLoudness(Record& r)
{
    if (!r.bext || !r.loudness)
        return;
    const std::optional<LoudnessFigures> stored = StoredLoudness(*r.bext);
    if (!stored)
        return;
    char text[160];
    if (Differs(stored->integratedLufs, r.loudness->integratedLufs)) {
        snprintf(text, sizeof text,
                 "The stored integrated loudness %.2f LUFS differs from the "
                 "measured %.2f LUFS.",
                 *stored->integratedLufs, *r.loudness->integratedLufs);
        AddFileFinding(r.findings, Code::LoudnessMismatch, text);
    }
    if (Differs(stored->maxTruePeakDbtp, r.loudness->maxTruePeakDbtp)) {
        snprintf(text, sizeof text,
                 "The stored true peak %.2f dBTP differs from the measured "
                 "%.2f dBTP.",
                 *stored->maxTruePeakDbtp, *r.loudness->maxTruePeakDbtp);
        AddFileFinding(r.findings, Code::LoudnessMismatch, text);
    }
}

MeasureRequest RequestFor(const Record& r, const InspectOptions& o, AudioLayout& layout)
{
    MeasureRequest q;
    if (!r.audio)
        return q;
    q.md5 = o.md5;
    layout = r.format ? LayoutOf(*r.format) : AudioLayout{};
    // Measuring needs every field through bits per sample.
    const bool complete = r.format && r.format->Has(FmtBits, 2);
    q.loudness = o.loudness && complete && LoudnessMeasurable(layout);
    q.signal = o.signal && complete && SignalMeasurable(layout);
    return q;
}

void TakeMeasurement(Record& r, const MeasureResult& v, const MeasureRequest& q,
                     const InspectOptions& o)
{
    if (!r.audio || !(o.md5 || o.loudness || o.signal))
        return;
    r.md5Computed = v.md5;
    if (o.loudness && !(q.loudness && v.loudnessMeasurable && v.loudness))
        AddFileFinding(r.findings, Code::LoudnessUnmeasurable,
                       "The audio's format, rate or channel count cannot be measured for "
                       "loudness.");
    else if (o.loudness)
        r.loudness = v.loudness;
    if (r.md5Stored && r.md5Computed && *r.md5Stored != *r.md5Computed)
        AddFileFinding(r.findings, Code::Md5Mismatch,
                       "The audio's MD5 " + Hex(r.md5Computed->data(), 16) +
                           " differs from the stored " + Hex(r.md5Stored->data(), 16) + ".");
    CompareLoudness(r);
    if (o.signal && q.signal && v.signal) {
        r.signal = v.signal;
        AddSignalFindings(r);
    } else if (o.signal) {
        AddChunkFinding(r.findings, Code::SignalUnmeasurable, MakeId("data"), r.audio->offset - 8,
                        "The audio's format cannot be measured for --signal: it is not PCM, "
                        "float, A-law or mu-law in whole samples.");
    }
}

} // namespace

Measurement MeasureRecord(Record& r, int fd, const InspectOptions& asked,
                          const std::function<void(uint64_t)>& progress)
{
    Measurement m;
    m.asked = asked;
    if (!r.audio || !(asked.md5 || asked.loudness || asked.signal))
        return m;
    AudioLayout layout;
    m.request = RequestFor(r, asked, layout);
    m.request.progress = progress;
    m.result = ReadAndMeasure(fd, r.audio->offset, r.audio->bytesInFile, layout, m.request);
    m.request.progress = nullptr; // the caller's line ends with the read
    if (m.result.readError == 0)
        CompareMeasurement(r, m);
    return m;
}

void CompareMeasurement(Record& r, const Measurement& m)
{
    TakeMeasurement(r, m.result, m.request, m.asked);
}

} // namespace sondrel
