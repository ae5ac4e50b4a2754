// The floor a comparison is measured against: reads the frames of two raw
// YUV 4:2:0 sequences exactly as a comparison run does -- both files opened
// "rb" and unbuffered, one fread of S bytes per file per frame into two
// buffers, stopping at the first incomplete frame -- and does nothing else.
//
//   lorvane-readonly WIDTH HEIGHT FRAMES REFERENCE TARGET
//
// Prints the number of complete frame pairs read.
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT FRAMES REFERENCE TARGET\n", argv[0]);
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
    std::vector<unsigned char> a(frameSize), b(frameSize);
    long long read = 0;
    for (; read < frames; ++read) {
        const std::size_t gotA = std::fread(a.data(), 1, frameSize, reference);
        const std::size_t gotB = std::fread(b.data(), 1, frameSize, target);
        if (gotA < frameSize || gotB < frameSize)
            break;
    }
    std::fclose(reference);
    std::fclose(target);
    std::printf("%lld\n", read);
    return 0;
}
