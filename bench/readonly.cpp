// The floor a comparison is measured against: reads the frames of two raw
// YUV 4:2:0 sequences exactly as a comparison run does -- both files opened
// "rb" and unbuffered, one fread of S bytes per file per frame into two
// buffers, stopping at the first incomplete frame -- and does nothing else.
//
//   lorvane-readonly [--huge-pages] [--16bit] [--y4m] WIDTH HEIGHT FRAMES REFERENCE TARGET
//
// --huge-pages puts the two buffers in 2 MiB pages, as lorvane does on Linux;
// without it they are ordinary allocations. --16bit reads two bytes a sample;
// --y4m reads YUV4MPEG2 files as a run does: the stream header line, then
// each frame's FRAME line and samples.
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
    bool hugePages = false, wide = false, y4m = false;
    for (; argc > 1 && argv[1][0] == '-' && argv[1][1] == '-'; --argc, ++argv) {
        hugePages |= std::strcmp(argv[1], "--huge-pages") == 0;
        wide |= std::strcmp(argv[1], "--16bit") == 0;
        y4m |= std::strcmp(argv[1], "--y4m") == 0;
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: lorvane-readonly [--huge-pages] [--16bit] [--y4m] WIDTH HEIGHT FRAMES REFERENCE TARGET\n");
        return 2;
    }
    const long long width = std::atoll(argv[1]), height = std::atoll(argv[2]);
    const long long frames = std::atoll(argv[3]);
    const std::size_t frameSize = std::size_t(width * height * 3 / 2) * (wide ? 2 : 1);
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
    char line[1024];
    if (y4m && (!std::fgets(line, sizeof line, reference) || !std::fgets(line, sizeof line, target))) {
        std::fprintf(stderr, "no stream header\n");
        return 1;
    }
    long long read = 0;
    for (; read < frames; ++read) {
        if (y4m && (std::fread(line, 1, 6, reference) != 6 || std::fread(line, 1, 6, target) != 6))
            break;
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
