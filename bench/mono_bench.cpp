// Input throughput of the mono downmix for every layout with a fast path
// (2, 3 and 4 bytes a sample, 1 to 8 channels): what PCMToMono picks, each
// vector width the processor runs, and the plain loop for comparison.
#include "text/mono.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace sondrel;

namespace
{

using Mix = std::function<int32_t(void*, int32_t, int32_t, int32_t)>;

// One stream block (channels x 196,608 bytes) of noise, mixed in place over
// and over: later rounds see partly mixed data, but the work does not depend
// on the values.
void RunMix(benchmark::State& state, const Mix& mix, int32_t bytesPerSample, int32_t channels)
{
    const size_t blockBytes = 196608 * static_cast<size_t>(channels);
    std::vector<unsigned char> block(blockBytes);
    std::mt19937 rng(12345);
    for (auto& b : block)
        b = static_cast<unsigned char>(rng());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            mix(block.data(), static_cast<int32_t>(blockBytes), bytesPerSample, channels));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * blockBytes));
}

// Names like "PCMToMonoWith/avx2/24-bit 6ch"; bench/mono_table.sh reads them.
void Register(const std::string& name, const Mix& mix)
{
    for (int32_t width = 2; width <= 4; width++) {
        for (int32_t channels = 1; channels <= 8; channels++) {
            const std::string layout =
                std::to_string(8 * width) + "-bit " + std::to_string(channels) + "ch";
            benchmark::RegisterBenchmark((name + "/" + layout).c_str(), RunMix, mix, width,
                                         channels);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    Register("PCMToMono", PCMToMono);
    const std::pair<Isa, const char*> widths[] = {
        {Isa::Base, "base"}, {Isa::Avx2, "avx2"}, {Isa::Avx512, "avx512"}};
    for (const auto& [isa, name] : widths) {
        if (IsaSupported(isa))
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
