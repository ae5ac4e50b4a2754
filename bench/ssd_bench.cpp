// Throughput of each version of the SSD kernel this machine can run, on plane
// sizes a comparison meets: 1080p luma and chroma, QCIF luma, and a run that
// stays in the first-level cache.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/ssd.h"

namespace {

void BM_Ssd(benchmark::State& state, lorvane::CpuLevel level)
{
    const lorvane::SsdFunction ssd = lorvane::SsdForLevel(level);
    if (!ssd) {
        state.SkipWithError("not available on this CPU");
        return;
    }
    const std::size_t count = std::size_t(state.range(0));
    std::vector<std::uint8_t> a(count + 1), b(count + 1);
    std::mt19937 random(1);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = std::uint8_t(random());
        b[i] = std::uint8_t(random());
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(ssd(a.data(), b.data() + 1, count));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(count) * 2);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(4096)->Arg(25344)->Arg(518400)->Arg(2073600);
}

BENCHMARK_CAPTURE(BM_Ssd, c, lorvane::CpuLevel::C)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, sse2, lorvane::CpuLevel::Sse2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, avx2, lorvane::CpuLevel::Avx2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, avx512, lorvane::CpuLevel::Avx512)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
