// The floor a comparison is measured against: reads the frames of two raw
// YUV 4:2:0 sequences exactly as a comparison run does -- both files opened
// "rb" and unbuffered, one fread of S bytes per file per frame into two
// buffers, stopping at the first incomplete frame -- and does nothing else.
//
//   lorvane-readonly [--huge-pages] WIDTH HEIGHT FRAMES REFERENCE TARGET
//
// --huge-pages puts the two buffers in 2 MiB pages, as lorvane does on Linux;
// without it they are ordinary allocations.
// Prints the number of complete frame pairs read.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

unsigned char* Buffer(std::size_t bytes, bool hugePages)
{
#ifdef __linux__
    if (hugePages) {
        constexpr std::size_t kHugePage = 2 << 20;
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* memory = nullptr;
        if (posix_memalign(&memory, kHugePage, rounded) != 0)
            return nullptr;
        madvise(memory, rounded, MADV_HUGEPAGE);
        return static_cast<unsigned char*>(memory);
    }
#else
    (void)hugePages;
#endif
    return static_cast<unsigned char*>(std::calloc(bytes, 1));
}

}  // namespace

int main(int argc, char** argv)
{
    const bool hugePages = argc > 1 && std::strcmp(argv[1], "--huge-pages") == 0;
    if (hugePages) {
        --argc;
        ++argv;
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: lorvane-readonly [--huge-pages] WIDTH HEIGHT FRAMES REFERENCE TARGET\n");
        return 2;
    }
    const long long width = std::atoll(argv[1]), height = std::atoll(argv[2]);
    const long long frames = std::atoll(argv[3]);
    const std::size_t frameSize = std::size_t(width * height * 3 / 2);
    std::FILE* reference = std::fopen(argv[4], "rb");
    std::FILE* target = std::fopen(argv[5], "rb");
    if (!reference || !target || frameSize == 0) {
        std::fprintf(stderr, "cannot open the sequences\n");
        return 1;
    }
    std::setvbuf(reference, nullptr, _IONBF, 0);
    std::setvbuf(target, nullptr, _IONBF, 0);
    unsigned char* a = Buffer(frameSize, hugePages);
    unsigned char* b = Buffer(frameSize, hugePages);
    if (!a || !b) {
        std::fprintf(stderr, "out of memory\n");
        return 1;
    }
    long long read = 0;
    for (; read < frames; ++read) {
        const std::size_t gotA = std::fread(a, 1, frameSize, reference);
        const std::size_t gotB = std::fread(b, 1, frameSize, target);
        if (gotA < frameSize || gotB < frameSize)
            break;
    }
    std::fclose(reference);
    std::fclose(target);
    std::free(a);
    std::free(b);
    std::printf("%lld\n", read);
    return 0;
}
