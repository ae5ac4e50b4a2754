// Throughput of each version of the SSD kernel this machine can run, on plane
// sizes a comparison meets (QCIF luma, 1080p chroma and luma), a run that stays
// in the first-level cache and runs that do not fit the caches; the second run
// starts on a cache-line boundary (offset 0) or one byte past it.
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
    const std::size_t offset = std::size_t(state.range(1));  // of the second run from a 64-byte boundary
    std::vector<std::uint8_t> a(count + 128), b(count + 128);
    std::mt19937 random(1);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = std::uint8_t(random());
        b[i] = std::uint8_t(random());
    }
    const std::uint8_t* first = a.data() + (64 - reinterpret_cast<std::uintptr_t>(a.data()) % 64) % 64;
    const std::uint8_t* second = b.data() + (64 - reinterpret_cast<std::uintptr_t>(b.data()) % 64) % 64 + offset;
    for (auto _ : state)
        benchmark::DoNotOptimize(ssd(first, second, count));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(count) * 2);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    for (std::int64_t count : {4096, 25344, 518400, 2073600, 8388608, 33554432})
        for (std::int64_t offset : {0, 1})
            b->Args({count, offset});
}

BENCHMARK_CAPTURE(BM_Ssd, c, lorvane::CpuLevel::C)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, sse2, lorvane::CpuLevel::Sse2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, avx2, lorvane::CpuLevel::Avx2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, avx512, lorvane::CpuLevel::Avx512)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
