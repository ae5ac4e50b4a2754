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

std::uint64_t Ssd(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    return SsdC(a, b, count);
}

}  // namespace lorvane
