// The signal's findings, worded for a person; channels are counted from 0,
// as the record's arrays are.
#include "inspect/signal_findings.h"

#include <cstdio>
#include <string>

namespace sondrel {

namespace
{

constexpr double DcLimit = 0.01;       // -40 dBFS
constexpr double InvertedBelow = -0.3; // a correlation this negative is one side reversed

std::string Number(const char* format, double v)
{
    char text[48];
    snprintf(text, sizeof text, format, v);
    return text;
}

// "a", "a and b", "a, b and c".
std::string Listed(const std::vector<std::string>& items)
{
    std::string out;
    for (size_t i = 0; i < items.size(); i++) {
        out.append(i == 0 ? "" : i + 1 == items.size() ? " and " : ", ");
        out.append(items[i]);
    }
    return out;
}

std::string Channel(size_t c)
{
    return std::string("channel ") + std::to_string(c);
}

void Add(Record& r, Code code, std::string message)
{
    AddChunkFinding(r.findings, code, MakeId("data"), r.audio->offset - 8, std::move(message));
}

void Clipping(Record& r, const SignalFigures& s)
{
    std::vector<std::string> where;
    for (size_t c = 0; c < s.clippedSamples.size(); c++)
        if (s.clippedSamples[c] > 0)
            where.push_back(std::to_string(s.clippedSamples[c]) + " in " + Channel(c));
    if (!where.empty())
        Add(r, Code::Clipping,
            std::string("Clipped samples, in runs of 3 or more at full scale: ") + Listed(where) +
                ".");
}

void DcOffset(Record& r, const SignalFigures& s)
{
    std::vector<std::string> where;
    for (size_t c = 0; c < s.dcFraction.size(); c++)
        if (s.dcFraction[c] > DcLimit && s.dcOffsetDbfs[c])
            where.push_back(Number("%.2f dBFS", *s.dcOffsetDbfs[c]) + " in " + Channel(c));
    if (!where.empty())
        Add(r, Code::DcOffset, std::string("A DC offset above -40 dBFS: ") + Listed(where) + ".");
}

void Channels(Record& r, const SignalFigures& s)
{
    const size_t channels = s.peakDbfs.size();
    if (channels > 1 && !s.silentChannels.empty()) {
        std::vector<std::string> which;
        for (unsigned c : s.silentChannels)
            which.push_back(std::to_string(c));
        Add(r, Code::ChannelSilent,
            std::string(which.size() == 1 ? "Channel " : "Channels ") + Listed(which) + " of " +
                std::to_string(channels) + (which.size() == 1 ? " is" : " are") +
                " digital silence: a dead input, or mono recorded with a side empty.");
    }
    if (!s.identicalChannels.empty()) {
        std::vector<std::string> pairs;
        for (const auto& [i, j] : s.identicalChannels)
            if (pairs.size() < 8)
                pairs.push_back(std::to_string(i) + " and " + std::to_string(j));
        std::string more;
        if (s.identicalChannels.size() > pairs.size())
            more = std::string(" (") + std::to_string(s.identicalChannels.size()) + " pairs)";
        Add(r, Code::DualMono,
            std::string("Identical channels, one signal stored twice: ") + Listed(pairs) + more +
                ".");
    }
    if (s.rawCorrelation && *s.rawCorrelation < InvertedBelow)
        Add(r, Code::PhaseInverted,
            std::string("The two channels' correlation is ") + Number("%.2f", *s.correlation) +
                ": one side's polarity may be reversed.");
}

void Bits(Record& r, const SignalFigures& s)
{
    if (s.effectiveBits && *s.effectiveBits < s.storedBits)
        Add(r, Code::BitsPadded,
            std::string("Only ") + std::to_string(*s.effectiveBits) + " of the " +
                std::to_string(s.storedBits) + " stored bits are used: the low " +
                std::to_string(s.storedBits - *s.effectiveBits) + " are 0 in every sample.");
}

void Silences(Record& r, const SignalFigures& s)
{
    for (size_t i = 0; i < s.silences.size(); i++) {
        char text[120];
        snprintf(text, sizeof text, "Silence below -60 dBFS from %.3f s for %.3f s.",
                 s.silences[i].startSeconds, s.silences[i].seconds);
        std::string message = text;
        if (i + 1 == s.silences.size() && s.silencesUnlisted > 0)
            message.append(" ")
                .append(std::to_string(s.silencesUnlisted))
                .append(" more are not listed.");
        Add(r, Code::Silence, std::move(message));
    }
}

} // namespace

void AddSignalFindings(Record& r)
{
    if (!r.signal || !r.audio)
        return;
    const SignalFigures& s = *r.signal;
    Clipping(r, s);
    DcOffset(r, s);
    Channels(r, s);
    Bits(r, s);
    Silences(r, s);
}

} // namespace sondrel
