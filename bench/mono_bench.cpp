// Input throughput of the mono downmix for the common recorder layouts: each
// vector width the processor runs, and the plain loop for comparison.
#include "stream.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace
{

struct Layout {
    const char* name;
    int32_t bytesPerSample;
    int32_t channels;
};

constexpr Layout Layouts[] = {
    {"16-bit stereo", 2, 2},
    {"24-bit stereo", 3, 2},
    {"24-bit 6ch", 3, 6},
};

using Mix = std::function<int32_t(void*, int32_t, int32_t, int32_t)>;

// One stream block (channels x 196,608 bytes) of noise, mixed in place over
// and over: later rounds see partly mixed data, but the work does not depend
// on the values.
void RunMix(benchmark::State& state, const Mix& mix, Layout layout)
{
    const size_t blockBytes = 196608 * static_cast<size_t>(layout.channels);
    std::vector<unsigned char> block(blockBytes);
    std::mt19937 rng(12345);
    for (auto& b : block)
        b = static_cast<unsigned char>(rng());
    for (auto _ : state) {
        benchmark::DoNotOptimize(mix(block.data(), static_cast<int32_t>(blockBytes),
                                     layout.bytesPerSample, layout.channels));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * blockBytes));
}

void Register(const std::string& name, const Mix& mix)
{
    for (const Layout& layout : Layouts)
        benchmark::RegisterBenchmark((name + "/" + layout.name).c_str(), RunMix, mix, layout);
}

} // namespace

int main(int argc, char** argv)
{
    Register("PCMToMono", PCMToMono);
    const std::pair<MixIsa, const char*> widths[] = {
        {MixIsa::Base, "base"}, {MixIsa::Avx2, "avx2"}, {MixIsa::Avx512, "avx512"}};
    for (const auto& [isa, name] : widths) {
        if (MixIsaSupported(isa))
            Register(std::string("PCMToMonoWith/") + name,
                     [isa](void* b, int32_t n, int32_t w, int32_t c) {
                         return PCMToMonoWith(isa, b, n, w, c);
                     });
    }
    Register("PCMToMonoReference", PCMToMonoReference);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
