#include "ssd.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>

#if defined(LORVANE_X86_SIMD)
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace lorvane {

#if defined(LORVANE_X86_SIMD)
// Each in a file of its own, compiled for its own instruction set.
std::uint64_t SsdSse2(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);
std::uint64_t SsdAvx2(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);
std::uint64_t SsdAvx512(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);
std::uint64_t Ssd16Sse2(const std::uint16_t* a, const std::uint16_t* b, std::size_t count);
std::uint64_t Ssd16Avx2(const std::uint16_t* a, const std::uint16_t* b, std::size_t count);
std::uint64_t Ssd16Avx512(const std::uint16_t* a, const std::uint16_t* b, std::size_t count);
#endif

std::uint64_t SsdC(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int d = int(a[i]) - int(b[i]);
        sum += std::uint64_t(d * d);
    }
    return sum;
}

std::uint64_t Ssd16C(const std::uint16_t* a, const std::uint16_t* b, std::size_t count)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // Unsigned: the square of a difference of 65535 does not fit an int.
        const std::uint32_t d = a[i] > b[i] ? std::uint32_t(a[i] - b[i]) : std::uint32_t(b[i] - a[i]);
        sum += std::uint64_t(d * d);
    }
    return sum;
}

namespace {

#if defined(LORVANE_X86_SIMD)
struct CpuidRegisters {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidRegisters Cpuid(unsigned leaf, unsigned subleaf)
{
    CpuidRegisters r;
#if defined(_MSC_VER) && !defined(__clang__)
    int info[4];
    __cpuidex(info, int(leaf), int(subleaf));
    r = {unsigned(info[0]), unsigned(info[1]), unsigned(info[2]), unsigned(info[3])};
#else
    if (leaf > unsigned(__get_cpuid_max(0, nullptr)))
        return r;
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// XCR0, the register state the operating system saves on a context switch. A
// CPU may offer AVX while the system leaves the upper register halves unsaved;
// using them then would corrupt other programs' registers or fault.
std::uint64_t SavedRegisterState()
{
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t(high) << 32) | low;
#endif
}

CpuLevel Detect()
{
    const CpuidRegisters basic = Cpuid(1, 0);
    if (!(basic.edx & (1u << 26)))  // SSE2; every x86-64 CPU has it
        return CpuLevel::C;
    const bool osSavesState = basic.ecx & (1u << 27);  // OSXSAVE: xgetbv may be used
    const std::uint64_t state = osSavesState ? SavedRegisterState() : 0;
    const CpuidRegisters extended = Cpuid(7, 0);
    constexpr std::uint64_t kAvxState = 0x6;      // XMM, YMM
    constexpr std::uint64_t kAvx512State = 0xE6;  // and opmask, ZMM 0-15 upper halves, ZMM 16-31
    const bool avx = basic.ecx & (1u << 28);
    const bool avx2 = extended.ebx & (1u << 5);
    if (!avx || !avx2 || (state & kAvxState) != kAvxState)
        return CpuLevel::Sse2;
    const bool avx512f = extended.ebx & (1u << 16);
    const bool avx512bw = extended.ebx & (1u << 30);
    if (!avx512f || !avx512bw || (state & kAvx512State) != kAvx512State)
        return CpuLevel::Avx2;
    return CpuLevel::Avx512;
}
#else
CpuLevel Detect() { return CpuLevel::C; }
#endif

std::optional<CpuLevel> LevelNamed(std::string_view name)
{
    for (CpuLevel level : {CpuLevel::C, CpuLevel::Sse2, CpuLevel::Avx2, CpuLevel::Avx512})
        if (name == CpuLevelName(level))
            return level;
    return std::nullopt;
}

// LORVANE_CPU, read once. An unset, empty or unknown value leaves the level uncapped.
CpuLevel EnvironmentCap()
{
    static const CpuLevel cap = [] {
        const char* value = std::getenv("LORVANE_CPU");
        return LevelNamed(value ? value : "").value_or(CpuLevel::Avx512);
    }();
    return cap;
}

constexpr int kNoCap = -1;
std::atomic<int> callerCap{kNoCap};  // set by LimitCpuLevel

std::uint64_t SsdFirstCall(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);
std::uint64_t Ssd16FirstCall(const std::uint16_t* a, const std::uint16_t* b, std::size_t count);

// The versions Ssd and Ssd16 call: the first-call ones until the first call of
// either (or a cap) installs the chosen pair. Constant-initialised, so they are
// valid before any constructor runs.
std::atomic<SsdFunction> active{&SsdFirstCall};
std::atomic<Ssd16Function> active16{&Ssd16FirstCall};

// Serialises installing, so that a cap set concurrently with a first call is
// never overwritten by a choice made under the old cap.
std::mutex& InstallMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Both families under one lock, so that after every install they run at the
// same level.
CpuLevel Install()
{
    const std::lock_guard<std::mutex> lock(InstallMutex());
    const CpuLevel level = ActiveCpuLevel();
    active.store(SsdForLevel(level), std::memory_order_release);
    active16.store(Ssd16ForLevel(level), std::memory_order_release);
    return level;
}

std::uint64_t SsdFirstCall(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    return SsdForLevel(Install())(a, b, count);
}

std::uint64_t Ssd16FirstCall(const std::uint16_t* a, const std::uint16_t* b, std::size_t count)
{
    return Ssd16ForLevel(Install())(a, b, count);
}

}  // namespace

CpuLevel DetectedCpuLevel()
{
    static const CpuLevel level = Detect();
    return level;
}

SsdFunction SsdForLevel(CpuLevel level)
{
    if (level > DetectedCpuLevel())
        return nullptr;
    switch (level) {
    case CpuLevel::C: return &SsdC;
#if defined(LORVANE_X86_SIMD)
    case CpuLevel::Sse2: return &SsdSse2;
    case CpuLevel::Avx2: return &SsdAvx2;
    case CpuLevel::Avx512: return &SsdAvx512;
#else
    default: break;
#endif
    }
    return nullptr;
}

Ssd16Function Ssd16ForLevel(CpuLevel level)
{
    if (level > DetectedCpuLevel())
        return nullptr;
    switch (level) {
    case CpuLevel::C: return &Ssd16C;
#if defined(LORVANE_X86_SIMD)
    case CpuLevel::Sse2: return &Ssd16Sse2;
    case CpuLevel::Avx2: return &Ssd16Avx2;
    case CpuLevel::Avx512: return &Ssd16Avx512;
#else
    default: break;
#endif
    }
    return nullptr;
}

bool LimitCpuLevel(std::string_view name)
{
    const std::optional<CpuLevel> level = LevelNamed(name);
    if (!level)
        return false;
    {
        const std::lock_guard<std::mutex> lock(InstallMutex());
        callerCap.store(int(*level));
    }
    Install();
    return true;
}

CpuLevel ActiveCpuLevel()
{
    const int cap = callerCap.load();
    return std::min(DetectedCpuLevel(), cap == kNoCap ? EnvironmentCap() : CpuLevel(cap));
}

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

SsdFunction ActiveSsd()
{
    const SsdFunction installed = active.load(std::memory_order_acquire);
    return installed == &SsdFirstCall ? SsdForLevel(Install()) : installed;
}

Ssd16Function ActiveSsd16()
{
    const Ssd16Function installed = active16.load(std::memory_order_acquire);
    return installed == &Ssd16FirstCall ? Ssd16ForLevel(Install()) : installed;
}

std::uint64_t Ssd(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    return active.load(std::memory_order_acquire)(a, b, count);
}

std::uint64_t Ssd16(const std::uint16_t* a, const std::uint16_t* b, std::size_t count)
{
    return active16.load(std::memory_order_acquire)(a, b, count);
}

}  // namespace lorvane
