// How the mono downmix's vector kernel fills its registers: the loads and
// byte shuffles for each layout, worked out at compile time.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace sondrel {

using ByteMask = std::array<int8_t, 16>;

// How one register of 8 words is filled for a group of 8 frames: from one or
// two 16-byte loads at the group's byte offsets `at`, each shuffled by its
// mask, or for 32-bit samples in order by shifting and packing.
struct RegPlan {
    int at[2] = {0, 0};
    int loads = 1;
    ByteMask mask[2] = {};
    bool identity = false; // the first load is the register as it stands
    bool packs = false;
};

// Words per frame in the registers: the channels padded with a zero word to
// an even count, so that pairwise sums never straddle two frames.
constexpr int PaddedChannels(int c)
{
    return c == 1 ? 1 : (c + 1) / 2 * 2;
}

template <int B, int C> constexpr std::array<RegPlan, PaddedChannels(C)> MakePlan()
{
    constexpr int P = PaddedChannels(C);
    constexpr int GroupBytes = 8 * B * C;
    std::array<RegPlan, P> plan{};
    for (int r = 0; r < P; r++) {
        RegPlan& g = plan[static_cast<size_t>(r)];
        int src[8]; // byte offset of each word's sample top half, -1 for padding
        for (int w = 0; w < 8; w++) {
            const int pos = r * 8 + w, frame = pos / P, slot = pos % P;
            src[w] = slot < C ? (frame * C + slot) * B + B - 2 : -1;
        }
        bool consecutive = true;
        for (int w = 1; w < 8; w++)
            consecutive = consecutive && src[w] == src[0] + w * B;
        if (B == 4 && consecutive) {
            g.packs = true;
            g.at[0] = src[0] - 2;
            g.at[1] = src[0] + 14;
            continue;
        }
        for (int i = 0; i < 2; i++)
            g.mask[i].fill(-128); // zero
        int lo = GroupBytes;
        for (int s : src)
            lo = s >= 0 ? std::min(lo, s) : lo;
        g.at[0] = std::min(lo, GroupBytes - 16);
        int last = -1; // highest byte that the first load misses
        for (int s : src)
            last = s >= 0 && s + 1 >= g.at[0] + 16 ? std::max(last, s + 1) : last;
        g.loads = last < 0 ? 1 : 2;
        g.at[1] = std::max(0, last - 15);
        for (int w = 0; w < 8; w++) {
            if (src[w] < 0)
                continue;
            const int i = src[w] + 1 < g.at[0] + 16 ? 0 : 1;
            const int off = src[w] - g.at[i];
            if (off < 0 || off + 1 >= 16)
                throw "a register needs more than two loads";
            g.mask[i][static_cast<size_t>(2 * w)] = static_cast<int8_t>(off);
            g.mask[i][static_cast<size_t>(2 * w + 1)] = static_cast<int8_t>(off + 1);
        }
        g.identity = g.loads == 1;
        for (int b = 0; b < 16; b++)
            g.identity = g.identity && g.mask[0][static_cast<size_t>(b)] == b;
    }
    return plan;
}

// The shuffle that puts back in order the 8 words of a group that the
// kernel's reductions leave as [f0 f2 f1 f3] (4 words a frame) or [f0 f3 f2 f1]
// (6 words a frame), each half.
constexpr ByteMask WordOrder(int p)
{
    const int four[4] = {0, 2, 1, 3}, six[4] = {0, 3, 2, 1};
    ByteMask m{};
    for (int j = 0; j < 8; j++) {
        const int at = (j & 4) + (p == 4 ? four[j & 3] : p == 6 ? six[j & 3] : j & 3);
        m[static_cast<size_t>(2 * j)] = static_cast<int8_t>(2 * at);
        m[static_cast<size_t>(2 * j + 1)] = static_cast<int8_t>(2 * at + 1);
    }
    return m;
}

} // namespace sondrel
