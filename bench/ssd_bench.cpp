// Throughput of each version of the SSD kernels this machine can run. 8-bit
// runs on plane sizes a comparison meets (QCIF luma, 1080p chroma and luma), a
// run that stays in the first-level cache and runs that do not fit the caches;
// 16-bit runs (10-bit samples: the speed of the kernels does not depend on the
// values) on the same plane sizes in samples, the cache-sized runs at the same
// sizes in bytes. The second run starts on a cache-line boundary (offset 0) or
// one sample past it. SSIM's kernels run on one row of 1080p luma blocks.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/ssd.h"
#include "core/ssim_kernels.h"

namespace {

template <typename Sample, typename ForLevel>
void BM_Kernel(benchmark::State& state, ForLevel forLevel, lorvane::CpuLevel level, unsigned valueMask)
{
    const auto ssd = forLevel(level);
    if (!ssd) {
        state.SkipWithError("not available on this CPU");
        return;
    }
    const std::size_t count = std::size_t(state.range(0));
    const std::size_t offset = std::size_t(state.range(1));  // of the second run from a 64-byte boundary
    std::vector<Sample> a(count + 128), b(count + 128);
    std::mt19937 random(1);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = Sample(random() & valueMask);
        b[i] = Sample(random() & valueMask);
    }
    const auto aligned = [](const std::vector<Sample>& v) {
        return v.data() + (64 - reinterpret_cast<std::uintptr_t>(v.data()) % 64) % 64 / sizeof(Sample);
    };
    const Sample* first = aligned(a);
    const Sample* second = aligned(b) + offset;
    for (auto _ : state)
        benchmark::DoNotOptimize(ssd(first, second, count));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(count * sizeof(Sample)) * 2);
}

void BM_Ssd(benchmark::State& state, lorvane::CpuLevel level)
{
    BM_Kernel<std::uint8_t>(state, lorvane::SsdForLevel, level, 0xFF);
}

void BM_Ssd16(benchmark::State& state, lorvane::CpuLevel level)
{
    BM_Kernel<std::uint16_t>(state, lorvane::Ssd16ForLevel, level, 0x3FF);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    for (std::int64_t count : {4096, 25344, 518400, 2073600, 8388608, 33554432})
        for (std::int64_t offset : {0, 1})
            b->Args({count, offset});
}

void Sizes16(benchmark::internal::Benchmark* b)
{
    for (std::int64_t count : {2048, 25344, 518400, 2073600, 4194304, 16777216})
        for (std::int64_t offset : {0, 1})
            b->Args({count, offset});
}

BENCHMARK_CAPTURE(BM_Ssd, c, lorvane::CpuLevel::C)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, sse2, lorvane::CpuLevel::Sse2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, avx2, lorvane::CpuLevel::Avx2)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd, avx512, lorvane::CpuLevel::Avx512)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Ssd16, c, lorvane::CpuLevel::C)->Apply(Sizes16);
BENCHMARK_CAPTURE(BM_Ssd16, sse2, lorvane::CpuLevel::Sse2)->Apply(Sizes16);
BENCHMARK_CAPTURE(BM_Ssd16, avx2, lorvane::CpuLevel::Avx2)->Apply(Sizes16);
BENCHMARK_CAPTURE(BM_Ssd16, avx512, lorvane::CpuLevel::Avx512)->Apply(Sizes16);

// A block row of 1920 samples (480 blocks), 4 sample rows 2048 samples apart;
// `sixteen`: 16-bit samples. Then, from two such rows, the row of windows.
void BM_SsimBlocks(benchmark::State& state, lorvane::CpuLevel level, bool sixteen)
{
    const lorvane::SsimKernels* kernels = lorvane::SsimKernelsForLevel(level);
    if (!kernels) {
        state.SkipWithError("not available on this CPU");
        return;
    }
    constexpr std::size_t kBlocks = 480, kStride = 2048 * 2;
    std::vector<std::uint8_t> a(4 * kStride), b(4 * kStride);
    std::mt19937 random(1);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = std::uint8_t(random() & (sixteen && i % 2 ? 0x03 : 0xFF));
        b[i] = std::uint8_t(random() & (sixteen && i % 2 ? 0x03 : 0xFF));
    }
    std::vector<double> sums(2 * lorvane::kSsimSums * kBlocks);
    const lorvane::SsimBlocksFunction blocks = sixteen ? kernels->blocks16 : kernels->blocks;
    blocks(a.data(), kStride, b.data(), kStride, kBlocks, sums.data());
    blocks(b.data(), kStride, a.data(), kStride, kBlocks, sums.data() + lorvane::kSsimSums * kBlocks);
    for (auto _ : state) {
        if (state.range(0) == 0)
            blocks(a.data(), kStride, b.data(), kStride, kBlocks, sums.data());
        else
            benchmark::DoNotOptimize(kernels->windows(sums.data(), sums.data() + lorvane::kSsimSums * kBlocks,
                                                      kBlocks, 416, 58535));
        benchmark::ClobberMemory();
    }
}

void SsimKernels(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"windows"})->Arg(0)->Arg(1);
}

BENCHMARK_CAPTURE(BM_SsimBlocks, c, lorvane::CpuLevel::C, false)->Apply(SsimKernels);
BENCHMARK_CAPTURE(BM_SsimBlocks, sse2, lorvane::CpuLevel::Sse2, false)->Apply(SsimKernels);
BENCHMARK_CAPTURE(BM_SsimBlocks, avx2, lorvane::CpuLevel::Avx2, false)->Apply(SsimKernels);
BENCHMARK_CAPTURE(BM_SsimBlocks, avx512, lorvane::CpuLevel::Avx512, false)->Apply(SsimKernels);
BENCHMARK_CAPTURE(BM_SsimBlocks, c_16, lorvane::CpuLevel::C, true)->Arg(0);
BENCHMARK_CAPTURE(BM_SsimBlocks, sse2_16, lorvane::CpuLevel::Sse2, true)->Arg(0);
BENCHMARK_CAPTURE(BM_SsimBlocks, avx2_16, lorvane::CpuLevel::Avx2, true)->Arg(0);
BENCHMARK_CAPTURE(BM_SsimBlocks, avx512_16, lorvane::CpuLevel::Avx512, true)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
