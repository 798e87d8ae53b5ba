// Loudness values to and from bext version 2's fields.
#include "write/bext_loudness.h"

#include "write/plan.h"

#include <cmath>

namespace sondrel {

std::string LoudnessBytes(const LoudnessFigures& l)
{
    std::string b;
    for (const std::optional<double>* v : {&l.integratedLufs, &l.rangeLu, &l.maxTruePeakDbtp,
                                           &l.maxMomentaryLufs, &l.maxShortTermLufs})
        b += LE16(LoudnessField(*v));
    return b;
}

LoudnessFigures AsStored(const LoudnessFigures& l)
{
    LoudnessFigures stored;
    const auto back = [](const std::optional<double>& v) -> std::optional<double> {
        const uint16_t field = LoudnessField(v);
        if (field == 0x7FFF)
            return std::nullopt;
        return static_cast<int16_t>(field) / 100.0;
    };
    stored.integratedLufs = back(l.integratedLufs);
    stored.rangeLu = back(l.rangeLu);
    stored.maxTruePeakDbtp = back(l.maxTruePeakDbtp);
    stored.maxMomentaryLufs = back(l.maxMomentaryLufs);
    stored.maxShortTermLufs = back(l.maxShortTermLufs);
    return stored;
}

uint16_t LoudnessField(const std::optional<double>& value)
{
    if (!value || !std::isfinite(*value))
        return 0x7FFF;
    const double hundredths = std::round(*value * 100);
    if (hundredths < -32768 || hundredths > 32766)
        return 0x7FFF;
    return static_cast<uint16_t>(static_cast<int16_t>(hundredths));
}

} // namespace sondrel
