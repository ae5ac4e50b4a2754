#include "ssd.h"

namespace lorvane {

std::uint64_t SsdC(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int d = int(a[i]) - int(b[i]);
        sum += std::uint64_t(d * d);
    }
    return sum;
}

// Only the C++ version exists so far; levels are accepted and ignored.
bool LimitCpuLevel(std::string_view name)
{
    return name == "c" || name == "sse2" || name == "avx2" || name == "avx512";
}

CpuLevel ActiveCpuLevel() { return CpuLevel::C; }

const char* CpuLevelName(CpuLevel level)
{
    switch (level) {
    case CpuLevel::Sse2: return "sse2";
    case CpuLevel::Avx2: return "avx2";
    case CpuLevel::Avx512: return "avx512";
    case CpuLevel::C: break;
    }
    return "c";
}

std::uint64_t Ssd(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    return SsdC(a, b, count);
}

}  // namespace lorvane
