#include "probe.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "decoded.h"
#include "files.h"
#include "psnr.h"
#include "ssd.h"
#include "statistics.h"

namespace lorvane {
namespace {

constexpr std::string_view kY4mSignature = "YUV4MPEG2 ";

// The C tag of a YUV4MPEG2 header: the 4:2:0 siting variants all mean the
// same planes for PSNR.
const PixelFormat* FormatOfChromaTag(std::string_view tag)
{
    static constexpr struct {
        std::string_view prefix;  // tag without the depth suffix
        std::string_view format;  // the 8-bit format; deeper ones append "<bits>le"
        bool pDepth;              // depths written "420p10" rather than "mono10"
    } kTags[] = {
        {"420jpeg", "yuv420p", false}, {"420mpeg2", "yuv420p", false}, {"420paldv", "yuv420p", false},
        {"420", "yuv420p", true},      {"422", "yuv422p", true},       {"444", "yuv444p", true},
        {"mono", "gray", false},
    };
    for (const auto& known : kTags) {
        if (tag.substr(0, known.prefix.size()) != known.prefix)
            continue;
        std::string_view depth = tag.substr(known.prefix.size());
        if (depth.empty())
            return FindPixelFormat(known.format);
        if (known.prefix == "mono" || known.pDepth) {
            if (known.pDepth) {
                if (depth.front() != 'p')
                    continue;
                depth.remove_prefix(1);
            }
            if (depth == "8")
                return FindPixelFormat(known.format);
            return FindPixelFormat(std::string(known.format) + std::string(depth) + "le");
        }
    }
    return nullptr;
}

bool ParseDimension(std::string_view text, std::int64_t& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }


std::uint32_t BigEndian32(std::string_view data, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

bool BytesAt(std::string_view data, std::size_t at, std::string_view bytes)
{
    return data.size() >= at + bytes.size() && data.substr(at, bytes.size()) == bytes;
}

// An Annex B byte stream: a four-byte start code at 0 before a parameter
// set, access unit delimiter or SEI (the NAL units an encoder writes first),
// and within the next bytes another start code before such a unit or a
// picture of the same codec. A raw frame that starts 00 00 00 01 would also
// need the right NAL header bytes twice over.
std::string_view AnnexBKind(std::string_view head)
{
    if (!BytesAt(head, 0, std::string_view("\0\0\0\1", 4)) || head.size() < 6)
        return {};
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(head[at]); };
    // H.264: forbidden bit 0; types 6 SEI, 7 SPS, 8 PPS, 9 AUD; 5 IDR after them.
    const auto h264 = [](unsigned nal, bool first) {
        const unsigned type = nal & 0x1F;
        return (nal & 0x80) == 0 && (type == 6 || type == 7 || type == 9 || (!first && (type == 8 || type == 5)));
    };
    // HEVC: forbidden bit 0, layer 0, temporal id + 1 = 1; types 32 VPS, 33
    // SPS, 34 PPS, 35 AUD, 39 SEI; 19-21 IDR/CRA after them.
    const auto hevc = [](unsigned nal0, unsigned nal1, bool first) {
        const unsigned type = nal0 >> 1 & 0x3F;
        const bool early = type == 32 || type == 33 || type == 35 || type == 39;
        return (nal0 & 0x81) == 0 && nal1 == 1 && (early || (!first && (type == 34 || (type >= 19 && type <= 21))));
    };
    const bool isHevc = hevc(byte(4), byte(5), true), isH264 = !isHevc && h264(byte(4), true);
    if (!isHevc && !isH264)
        return {};
    const std::size_t next = head.substr(0, 512).find(std::string_view("\0\0\1", 3), 5);
    if (next == std::string_view::npos || next + 5 > head.size())
        return {};
    if (isHevc)
        return hevc(byte(next + 3), byte(next + 4), false) ? "HEVC" : std::string_view();
    return h264(byte(next + 3), false) ? "H.264" : std::string_view();
}

// The words of one name (no folders): the runs between '_', '-', '.' and
// spaces. The hyphen of a depth written "10-bit" stays inside its word.
std::vector<std::string_view> Words(std::string_view name)
{
    const auto isSeparator = [&](std::size_t i) {
        const char c = name[i];
        if (c == '-')
            return !(i > 0 && IsDigit(name[i - 1]) && name.substr(i + 1, 3) == "bit");
        return c == '_' || c == '.' || c == ' ';
    };
    std::vector<std::string_view> words;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= name.size(); ++i)
        if (i == name.size() || isSeparator(i)) {
            if (i > begin)
                words.push_back(name.substr(begin, i - begin));
            begin = i + 1;
        }
    return words;
}

bool AllDigits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), IsDigit);
}

// A size in one name: the first WxH word, else 2160p/1080p/720p, else the CIF family.
void GuessSize(const std::vector<std::string_view>& words, NameGuess& guess)
{
    for (std::string_view word : words) {
        const std::size_t x = word.find_first_of("x*");
        std::int64_t width = 0, height = 0;
        if (x != std::string_view::npos && AllDigits(word.substr(0, x)) && AllDigits(word.substr(x + 1)) &&
            ParseDimension(word.substr(0, x), width) && ParseDimension(word.substr(x + 1), height) && width > 0 &&
            height > 0 && width <= kMaxDimension && height <= kMaxDimension) {
            guess.width = std::int32_t(width);
            guess.height = std::int32_t(height);
            return;
        }
    }
    static constexpr struct {
        std::string_view word;
        std::int32_t width, height;
        bool rateMayFollow;  // 1080p50, as in the names of common test sets
    } kNamed[] = {{"2160p", 3840, 2160, true}, {"1080p", 1920, 1080, true}, {"720p", 1280, 720, true},
                  {"4cif", 704, 576, false},   {"qcif", 176, 144, false},   {"cif", 352, 288, false}};
    for (const auto& named : kNamed)
        for (std::string_view word : words)
            if (word.substr(0, named.word.size()) == named.word &&
                (word.size() == named.word.size() || (named.rateMayFollow && AllDigits(word.substr(named.word.size()))))) {
                guess.width = named.width;
                guess.height = named.height;
                return;
            }
}

// Whether a word is shaped like one of ffmpeg's pixel-format names: a family
// stem followed by a digit (yuv411p, yuv420p10be, yuvj420p, nv16, gray12,
// p210le, rgb24, gbrp10le), or one of the names made of letters only. "yuv"
// alone is the usual file extension, and yuv4mpeg the Y4M signature, not formats.
bool LooksLikePixelFormat(std::string_view word)
{
    // A stem, the digits that follow it (which stems allow only a few are
    // listed with them), then at most a "p" with a depth and an endianness:
    // yuv420p10be, yuv420p12, nv16, p210le, rgb24, gray10be, ya16le. Only
    // that shape counts, so that an ordinary word (a take "ya23o7", a year
    // "nv2019x") is never taken for a format.
    static constexpr struct {
        std::string_view stem;
        std::string_view digits;  // "|8|16|": only those; empty: any
    } kStems[] = {{"yuv", ""},  {"yuva", ""}, {"yuvj", ""}, {"yuyv", ""}, {"uyvy", ""},   {"yvyu", ""},
                  {"gray", ""}, {"grayf", ""}, {"ya", "|8|16|"}, {"nv", "|12|16|20|21|24|42|"},
                  {"p01", "|0|2|6|"}, {"p21", "|0|2|6|"}, {"p41", "|0|2|6|"},
                  {"rgb", ""},  {"bgr", ""},  {"rgba", ""}, {"bgra", ""}, {"argb", ""},   {"abgr", ""},
                  {"rgbf", ""}, {"gbrp", ""}, {"gbrap", ""}, {"gbrpf", ""}, {"xyz", "|12|"}};
    static constexpr std::string_view kLetterNames[] = {"rgb", "bgr", "rgba", "bgra", "argb", "abgr", "gbrp", "gbrap"};
    if (word.substr(0, 8) == "yuv4mpeg")
        return false;
    for (std::string_view name : kLetterNames)
        if (word == name)
            return true;
    const auto digitsAt = [&](std::size_t at) {
        std::size_t end = at;
        while (end < word.size() && IsDigit(word[end]))
            ++end;
        return end;
    };
    for (const auto& [stem, allowed] : kStems) {
        if (word.size() <= stem.size() || word.substr(0, stem.size()) != stem || !IsDigit(word[stem.size()]))
            continue;
        std::size_t at = digitsAt(stem.size());
        const std::string_view digits = word.substr(stem.size(), at - stem.size());
        if (!allowed.empty() && allowed.find("|" + std::string(digits) + "|") == std::string_view::npos)
            continue;
        if (at < word.size() && word[at] == 'p')
            at = digitsAt(at + 1);
        std::string_view rest = word.substr(at);
        if (rest.empty() || rest == "le" || rest == "be")
            return true;
    }
    return false;
}

// A format in one name: an ffmpeg name of ours (the longest there), else a
// word shaped like one we do not read, else a subsampling word and a bit depth.
// An exact format name is the strongest sign a name gives, so it outweighs the
// rest; a format we cannot read outweighs the looser 420/10bit words, which
// would otherwise have it read as something it is not.
void GuessFormat(const std::vector<std::string_view>& words, NameGuess& guess)
{
    for (std::string_view word : words)
        if (const PixelFormat* format = FindPixelFormat(word);
            format && (!guess.format || format->name.size() > guess.format->name.size()))
            guess.format = format;
    if (guess.format)
        return;
    for (std::string_view word : words)
        if (LooksLikePixelFormat(word)) {
            guess.unsupportedFormat = std::string(word);
            return;
        }
    std::string_view subsampling;
    for (std::string_view token : {"420", "422", "444", "400"})
        if (std::find(words.begin(), words.end(), token) != words.end())
            subsampling = token;
    int bits = 0;
    for (int depth : {8, 9, 10, 12, 14, 16}) {
        const std::string n = std::to_string(depth);
        for (const std::string& spelling : {n + "bit", n + "-bit", n + "b"})
            if (std::find(words.begin(), words.end(), spelling) != words.end())
                bits = depth;
    }
    if (subsampling.empty() && bits == 0)
        return;
    std::string format = subsampling == "400" ? "gray" : "yuv" + std::string(subsampling.empty() ? "420" : subsampling) + "p";
    if (bits > 8)
        format += std::to_string(bits) + "le";
    guess.format = FindPixelFormat(format);
}

}  // namespace

bool HasY4mSignature(std::string_view data)
{
    return data.substr(0, kY4mSignature.size()) == kY4mSignature;
}

std::string EscapeForMessage(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // A whole UTF-8 character (two to four bytes) passes as it is.
        const std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 1;
        bool whole = length > 1 && i + length <= text.size();
        for (std::size_t k = 1; whole && k < length; ++k)
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (whole) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\0')
            out += "\\0";
        else if (c < 0x20 || c >= 0x7F) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else
            out += char(c);
        ++i;
    }
    return out;
}

std::string_view EncodedKind(std::string_view head)
{
    if (HasY4mSignature(head) || head.size() < 4)
        return {};
    // ISO base media (MP4, MOV, 3GP): a box of a plausible size whose type
    // is one a file starts with.
    if (head.size() >= 8) {
        const std::uint32_t size = BigEndian32(head, 0);
        const std::string_view type = head.substr(4, 4);
        if ((type == "ftyp" && size >= 8 && size <= 4096) ||
            ((type == "moov" || type == "free" || type == "wide" || type == "skip") && size >= 8) ||
            (type == "mdat" && (size <= 1 || size >= 8)))
            return "MP4/MOV";
    }
    if (BytesAt(head, 0, "\x1A\x45\xDF\xA3"))
        return "Matroska/WebM";
    if (BytesAt(head, 0, "RIFF") && BytesAt(head, 8, "AVI "))
        return "AVI";
    if (BytesAt(head, 0, "DKIF") && BytesAt(head, 6, std::string_view("\x20\0", 2)))
        return "IVF";
    if (BytesAt(head, 0, "\x89PNG\r\n\x1A\n"))
        return "PNG";
    // JPEG: the start-of-image marker, then another marker.
    if (BytesAt(head, 0, "\xFF\xD8\xFF") && head.size() >= 4 && static_cast<unsigned char>(head[3]) >= 0xC0 &&
        static_cast<unsigned char>(head[3]) != 0xFF)
        return "JPEG";
    // MPEG-TS: a sync byte every 188 bytes, four packets at least, each
    // with the error flag clear and a payload or adaptation field; a flat
    // frame of the value 0x47 is no stream, so the packets must differ from
    // sync bytes alone.
    if (head.size() > 3 * 188 + 3) {
        bool ts = true, varied = false;
        for (std::size_t at = 0; ts && at + 4 <= head.size(); at += 188) {
            const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(head[at + k]); };
            ts = byte(0) == 0x47 && (byte(1) & 0x80) == 0 && (byte(3) & 0x30) != 0;
            varied = varied || byte(1) != 0x47 || byte(2) != 0x47 || byte(3) != 0x47;
        }
        if (ts && varied)
            return "MPEG-TS";
    }
    return AnnexBKind(head);
}

std::string EncodedInputMessage(const char* role, const std::string& path, std::string_view kind)
{
    std::string text = std::string(role) + " " + path + " 是 " + std::string(kind) + " 文件，不是 YUV 序列：请先解码为 YUV 文件。";
    if (!DecodingAvailable())
        text += "这个版本的 Lorvane 不能解码视频文件。";
    return text;
}

std::string ReadProbeHead(std::FILE* file, std::string head, std::uint64_t fileBytes)
{
    const std::size_t had = head.size();
    head.resize(std::size_t(std::min<std::uint64_t>(fileBytes, std::max(kProbeBytes, had))));
    head.resize(had + std::fread(head.data() + had, 1, head.size() - had, file));
    return head;
}

std::string PeekStreamHead(std::FILE* file)
{
    std::string head;
    while (head.size() < kMaxY4mHeader) {
        const int c = std::fgetc(file);
        if (c == EOF)
            break;
        head += char(c);
        if (head.size() <= kY4mSignature.size() ? head.back() != kY4mSignature[head.size() - 1] : c == '\n')
            break;
    }
    return head;
}

Y4mFrameWalk WalkY4mFrames(std::FILE* file, std::uint64_t fileBytes, std::uint64_t headerBytes,
                           std::uint64_t frameBytes)
{
    Y4mFrameWalk walk;
    constexpr std::string_view kFrame = "FRAME";
    std::string line;
    for (std::uint64_t at = headerBytes; at < fileBytes;) {
        // A plain FRAME line takes one read of its six bytes; a line with
        // parameters is read on in short pieces up to its newline.
        const std::uint64_t left = fileBytes - at;
        line.resize(std::size_t(std::min<std::uint64_t>(left, kFrameLineBytes)));
        if (!SeekTo(file, at) || std::fread(line.data(), 1, line.size(), file) != line.size())
            return walk.leftover = left, walk;
        std::size_t newline = line.find('\n');
        while (newline == std::string::npos && line.size() < left && line.size() < kMaxY4mHeader &&
               BytesAt(line, 0, "FRAME ")) {
            const std::size_t had = line.size();
            line.resize(std::size_t(std::min<std::uint64_t>({left, kMaxY4mHeader, had + 64})));
            if (std::fread(line.data() + had, 1, line.size() - had, file) != line.size() - had)
                return walk.leftover = left, walk;
            newline = line.find('\n', had);
        }
        const bool lineOk = newline != std::string::npos && newline < kMaxY4mHeader && BytesAt(line, 0, kFrame) &&
                            (newline == kFrame.size() || line[kFrame.size()] == ' ');
        if (!lineOk) {
            // The file may end inside a FRAME line; anything else is a garbled one.
            const bool cut = newline == std::string::npos && line.size() == left && line.size() < kMaxY4mHeader &&
                             (kFrame.substr(0, line.size()) == line || BytesAt(line, 0, "FRAME "));
            walk.badLine = !cut;
            walk.leftover = left;
            return walk;
        }
        if (left - (newline + 1) < frameBytes) {
            walk.leftover = left;
            return walk;
        }
        at += newline + 1 + frameBytes;
        ++walk.frames;
    }
    return walk;
}

bool ParseY4mHeader(std::string_view data, Y4mHeader& header, std::string& error)
{
    header = {};
    const std::size_t newline = data.substr(0, kMaxY4mHeader).find('\n');
    if (newline == std::string_view::npos) {
        error = data.size() >= kMaxY4mHeader
                    ? "文件头过长（超过 " + std::to_string(kMaxY4mHeader) + " 字节）。"
                    : std::string("文件头不完整：没有以换行结束。");
        return false;
    }
    header.headerBytes = newline + 1;
    header.chromaTag = "420jpeg";
    std::string_view fields = data.substr(kY4mSignature.size(), newline - kY4mSignature.size());
    // -1: not in the header.
    std::int64_t width = -1, height = -1;
    while (!fields.empty()) {
        const std::size_t space = fields.find(' ');
        const std::string_view field = fields.substr(0, space);
        fields = space == std::string_view::npos ? std::string_view() : fields.substr(space + 1);
        if (field.empty())
            continue;
        const std::string_view value = field.substr(1);
        if (field[0] == 'W' || field[0] == 'H') {
            std::int64_t& target = field[0] == 'W' ? width : height;
            if (!ParseDimension(value, target) || target < 0) {
                error = std::string("文件头中的") + (field[0] == 'W' ? "宽度" : "高度") + " " + EscapeForMessage(field) +
                        " 无效。";
                return false;
            }
        } else if (field[0] == 'C') {
            header.chromaTag = std::string(value);
        } else if (field[0] == 'F') {
            // Only told to the user: a rate that cannot be read is no rate.
            const std::size_t colon = value.find(':');
            std::int64_t num = 0, den = 0;
            if (colon != std::string_view::npos && ParseDimension(value.substr(0, colon), num) &&
                ParseDimension(value.substr(colon + 1), den) && num > 0 && den > 0) {
                header.rateNum = num;
                header.rateDen = den;
            }
        }
        // The frame rate, I (interlacing), A (aspect), X (comments) and any
        // other field do not change the samples.
    }
    if (width < 0 || height < 0) {
        error = width < 0 && height < 0 ? "文件头缺少宽度 W 和高度 H。" : width < 0 ? "文件头缺少宽度 W。" : "文件头缺少高度 H。";
        return false;
    }
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension ||
        width * height > kMaxLumaSamples) {
        error = "文件头中的图像宽高 " + std::to_string(width) + "x" + std::to_string(height) +
                " 超出范围：宽度和高度应在 1 到 1000000000 之间，且宽度×高度不超过 429496729。";
        return false;
    }
    header.width = std::int32_t(width);
    header.height = std::int32_t(height);
    header.format = FormatOfChromaTag(header.chromaTag);
    if (!header.format) {
        error = "不支持的色度格式 C" + EscapeForMessage(header.chromaTag) + "。";
        return false;
    }
    return true;
}

NameGuess GuessFromName(const std::string& path)
{
    // Split by hand: the path is UTF-8, which std::filesystem on Windows would
    // take for the ANSI code page.
    const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
    const auto last = std::find_if(path.rbegin(), path.rend(), isSeparator).base();
    const std::string file = Lower(std::string(last, path.end()));
    std::string::const_iterator folderEnd = last;
    while (folderEnd != path.begin() && isSeparator(*(folderEnd - 1)))
        --folderEnd;
    const auto folderStart = std::find_if(std::make_reverse_iterator(folderEnd), path.rend(), isSeparator).base();
    const std::string folder = Lower(std::string(folderStart, folderEnd));
    const std::vector<std::string_view> fileWords = Words(file), folderWords = Words(folder);
    NameGuess guess;
    GuessSize(fileWords, guess);
    if (!guess.SizeKnown())
        GuessSize(folderWords, guess);
    GuessFormat(fileWords, guess);
    if (!guess.format && guess.unsupportedFormat.empty())
        GuessFormat(folderWords, guess);
    return guess;
}

SequenceInfo ProbeSequence(const std::string& path, Probe depth)
{
    SequenceInfo info;
    info.name = GuessFromName(path);
    File file = OpenSequence(path);
    if (!file)
        return info;
    info.opened = true;
    info.regular = RegularFileSize(file.get(), info.bytes);
    std::string head;
    if (info.regular) {
        head.resize(std::size_t(std::min<std::uint64_t>(info.bytes, kMaxY4mHeader)));
        head.resize(std::fread(head.data(), 1, head.size(), file.get()));
    } else if (depth == Probe::KeepStream) {
        head = PeekStreamHead(file.get());
        info.stream = std::make_shared<PeekedSequence>(PeekedSequence{std::move(file), head});
    } else {
        return info;
    }
    if (!HasY4mSignature(head)) {
        info.encoded = EncodedKind(head);
        if (info.encoded.empty() && info.regular)
            info.encoded = DemuxerKind(ReadProbeHead(file.get(), std::move(head), info.bytes));
        return info;
    }
    info.y4m = true;
    if (!ParseY4mHeader(head, info.header, info.error)) {
        info.error = path + " 不是有效的 YUV4MPEG2 文件：" + info.error;
        return info;
    }
    if (info.regular && depth != Probe::Header) {
        info.walkFrameBytes = LayoutOf(*info.header.format, info.header.width, info.header.height).frameBytes;
        info.walk = WalkY4mFrames(file.get(), info.bytes, info.header.headerBytes, info.walkFrameBytes);
    }
    return info;
}

std::uint64_t CompleteFrames(std::uint64_t fileBytes, bool y4m, std::uint64_t headerBytes,
                             std::uint64_t frameBytes)
{
    if (frameBytes == 0 || fileBytes <= headerBytes)
        return 0;
    return (fileBytes - headerBytes) / (frameBytes + (y4m ? kFrameLineBytes : 0));
}

std::uint64_t CompleteFrames(const SequenceInfo& info, std::uint64_t frameBytes)
{
    if (!info.regular)
        return 0;
    if (info.y4m && info.walkFrameBytes == frameBytes)
        return info.walk.frames;
    return CompleteFrames(info.bytes, info.y4m, info.y4m ? info.header.headerBytes : 0, frameBytes);
}

std::string DescribePicture(std::int32_t width, std::int32_t height, const PixelFormat* format)
{
    std::string text;
    if (width > 0 && height > 0) {
        text += std::to_string(width);
        text += 'x';
        text += std::to_string(height);
    }
    if (format && !format->name.empty()) {
        if (!text.empty())
            text += ' ';
        text += format->name;
    }
    return text;
}

FilesTell WhatFilesTell(const SequenceInfo* source, const SequenceInfo* target)
{
    FilesTell told;
    const SequenceInfo* both[] = {source, target};
    for (const SequenceInfo* info : both)
        if (info && !info->error.empty())
            return told;
    struct Says {
        std::int32_t width = 0, height = 0;
        const PixelFormat* format = nullptr;
    } says[2];
    const bool headers = (source && source->y4m) || (target && target->y4m);
    for (int i = 0; i < 2; ++i) {
        const SequenceInfo* info = both[i];
        if (!info)
            continue;
        if (headers && info->y4m)
            says[i] = {info->header.width, info->header.height, info->header.format};
        else if (!headers)
            says[i] = {info->name.width, info->name.height, info->name.format};
        if (!headers && !info->name.unsupportedFormat.empty() && told.unsupportedIn < 0) {
            told.unsupportedFormat = info->name.unsupportedFormat;
            told.unsupportedIn = i;
        }
    }
    told.fromHeader = headers;
    told.sourceSays = DescribePicture(says[0].width, says[0].height, says[0].format);
    told.targetSays = DescribePicture(says[1].width, says[1].height, says[1].format);
    const bool size0 = says[0].width > 0 && says[0].height > 0, size1 = says[1].width > 0 && says[1].height > 0;
    told.sizeConflict = size0 && size1 && (says[0].width != says[1].width || says[0].height != says[1].height);
    told.formatConflict = says[0].format && says[1].format && says[0].format != says[1].format;
    for (const Says& s : says) {
        if (!told.sizeConflict && s.width > 0 && s.height > 0)
            told.width = s.width, told.height = s.height;
        // A name that names a format we cannot read tells none: the other
        // name's would have that file misread.
        if (!told.formatConflict && s.format && told.unsupportedIn < 0)
            told.format = s.format;
    }
    return told;
}

std::int32_t FramesOfShorter(const SequenceInfo& source, const SequenceInfo& target, std::int32_t width,
                             std::int32_t height, const PixelFormat* format)
{
    for (const SequenceInfo* info : {&source, &target}) {
        if (!info->regular || !info->error.empty())
            return 0;
        if (info->y4m && width == 0 && height == 0)
            width = info->header.width, height = info->header.height;
        if (info->y4m && !format)
            format = info->header.format;
    }
    if (!format)
        format = &ClassicFormat();
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension ||
        std::int64_t(width) * height > kMaxLumaSamples)
        return 0;
    const std::uint64_t frameBytes = LayoutOf(*format, width, height).frameBytes;
    return std::int32_t(std::min<std::uint64_t>(
        {CompleteFrames(source, frameBytes), CompleteFrames(target, frameBytes), std::uint64_t(kMaxDimension)}));
}

std::uint32_t LargestSample(const std::uint8_t* data, std::size_t samples, int bytesPerSample)
{
    std::uint32_t largest = 0;
    if (bytesPerSample == 1) {
        for (std::size_t i = 0; i < samples; ++i)
            largest = std::max<std::uint32_t>(largest, data[i]);
    } else {
        for (std::size_t i = 0; i < samples; ++i)
            largest = std::max<std::uint32_t>(largest, data[2 * i] | std::uint32_t(data[2 * i + 1]) << 8);
    }
    return largest;
}

bool LargestSampleOfFirstFrame(const std::string& path, const SequenceInfo& info, std::uint64_t frameBytes,
                               int bytesPerSample, std::uint32_t& largest)
{
    File file = OpenSequence(path);
    if (!file || !info.regular || (info.y4m && !info.error.empty()))
        return false;
    if (info.y4m) {
        if (!SeekTo(file.get(), info.header.headerBytes))
            return false;
        std::string line;
        for (int c; line.size() < kMaxY4mHeader && (c = std::fgetc(file.get())) != EOF && c != '\n';)
            line += char(c);
        if (line.substr(0, 5) != "FRAME")
            return false;
    }
    // In pieces: a frame of a large picture need not be held whole to be scanned.
    std::vector<std::uint8_t> piece(std::size_t(1) << 20);
    std::uint64_t left = frameBytes - frameBytes % std::uint64_t(bytesPerSample), scanned = 0;
    largest = 0;
    while (left > 0) {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(left, piece.size()));
        const std::size_t got = std::fread(piece.data(), 1, want, file.get());
        const std::size_t samples = got / std::size_t(bytesPerSample);
        largest = std::max(largest, LargestSample(piece.data(), samples, bytesPerSample));
        scanned += samples;
        if (got < want)
            break;
        left -= got;
    }
    return scanned > 0;
}

std::string SamplesBeyondFormat(const char* role, const std::string& path, const SequenceInfo& info,
                                const PixelFormat& format, std::int32_t width, std::int32_t height)
{
    // P010's words hold any 16-bit value: its 10 bits are the top of each word.
    if (format.bits <= 8 || format.bits >= 16 || format.packing != Packing::Planar || width <= 0 || height <= 0 ||
        width > kMaxDimension || height > kMaxDimension || std::int64_t(width) * height > kMaxLumaSamples)
        return {};
    std::uint32_t largest = 0;
    const std::uint32_t limit = (1u << format.bits) - 1;
    if (!LargestSampleOfFirstFrame(path, info, LayoutOf(format, width, height).frameBytes, format.BytesPerSample(),
                                   largest) ||
        largest <= limit)
        return {};
    return std::string(role) + " " + path + " 不是 " + std::string(format.name) + " 格式：第0帧中最大的样本值是 " +
           std::to_string(largest) + "，超过了 " + std::to_string(format.bits) + " 位的最大值 " +
           std::to_string(limit) + "。\n";
}

bool GuessSizeByContent(const std::string& path, const PixelFormat* format, SizeChoice& choice,
                        std::string& report)
{
    static constexpr std::int32_t kSizes[][2] = {{176, 144},  {352, 240},   {352, 288},
                                                 {704, 576},  {720, 480},   {720, 576},
                                                 {1280, 720}, {1920, 1080}, {3840, 2160}};
    // Frames 0 and 1 of a real sequence at its true size differ by little; at
    // a wrong size the two "frames" are different parts of the picture, rows
    // out of step, and differ as unrelated pictures do. A luma PSNR of 20 dB
    // between them (MSE of a hundredth of the peak squared) lies between:
    // consecutive frames of natural video are well above it, unrelated ones
    // well below.
    constexpr double kLeastPsnr = 20.0;
    // The best must also beat the runner-up by 3 dB (half its MSE relative to
    // the peak squared). A wrong picture usually scores tens of dB below the
    // true one; one close to it means the content cannot tell them apart:
    // frames that barely change (a still, or noise alone), or a wrong size
    // that lines up whole true frames, as 3840x2160 8-bit lays frames 0 and 2
    // of 1920x1080 10-bit over each other. A guess there is a coin toss, and
    // a wrong one gives a plausible number, so -s is asked for instead.
    constexpr double kMarginDb = 3.0;
    const PixelFormat* formats[2] = {format ? format : &ClassicFormat(), format ? nullptr : FindPixelFormat("yuv420p10le")};
    const SequenceInfo info = ProbeSequence(path);
    File file = OpenSequence(path);
    if (!file || !info.regular) {
        report = "无法按内容推断 " + path + " 的图像宽高：不是可以读取的普通文件。";
        return false;
    }
    struct Candidate {
        SizeChoice picture;
        double psnr = 0;  // of frames 0 and 1, in luma; relative to the peak, so comparable across depths
    };
    std::vector<Candidate> ranked;
    std::string tried;
    for (const PixelFormat* tryFormat : formats) {
        if (!tryFormat)
            continue;
        const double peak = PeakValue(tryFormat->bits, PeakKind::Full);
        for (const auto& size : kSizes) {
            const PictureLayout layout = LayoutOf(*tryFormat, size[0], size[1]);
            if (info.bytes < 2 * layout.frameBytes || info.bytes % layout.frameBytes != 0)
                continue;
            const std::uint64_t samples = layout.planes[0].Samples();
            const std::uint64_t lumaBytes = samples * std::uint64_t(layout.bytesPerSample);
            // The second frame's luma, or all of it when its luma must be unpacked.
            const bool unpackLuma = layout.planes[0].unpacked;
            std::vector<std::uint8_t> frames(layout.frameBytes + (unpackLuma ? layout.frameBytes : lumaBytes));
            std::rewind(file.get());
            if (std::fread(frames.data(), 1, frames.size(), file.get()) != frames.size())
                continue;
            tried += (tried.empty() ? "" : "、") + DescribePicture(size[0], size[1], tryFormat);
            const std::uint8_t* first = frames.data();
            const std::uint8_t* second = frames.data() + layout.frameBytes;
            std::vector<std::uint8_t> planes[2];
            if (unpackLuma) {
                for (int f = 0; f < 2; ++f) {
                    planes[f].resize(layout.unpackedBytes);
                    UnpackFrame(*tryFormat, layout, frames.data() + f * layout.frameBytes, planes[f].data());
                }
                first = PlaneData(layout, 0, first, planes[0].data());
                second = PlaneData(layout, 0, second, planes[1].data());
            }
            // Samples above the depth's largest value: not this format at all.
            if (tryFormat->bits > 8 &&
                std::max(LargestSample(first, samples, 2), LargestSample(second, samples, 2)) >
                    (1u << tryFormat->bits) - 1)
                continue;
            const std::uint64_t sum =
                layout.bytesPerSample == 1
                    ? Ssd(first, second, lumaBytes)
                    : Ssd16(reinterpret_cast<const std::uint16_t*>(first),
                            reinterpret_cast<const std::uint16_t*>(second), samples);
            const double mse = double(sum) / double(samples);
            ranked.push_back({{size[0], size[1], tryFormat, mse}, PsnrOfMse(mse, peak)});
        }
    }
    // By the MSE relative to the peak squared, which the PSNR orders the same
    // way except where it stands for identical frames.
    const auto relative = [](const Candidate& c) {
        const double peak = PeakValue(c.picture.format->bits, PeakKind::Full);
        return c.picture.lumaMse / (peak * peak);
    };
    std::stable_sort(ranked.begin(), ranked.end(),
                     [&](const Candidate& a, const Candidate& b) { return relative(a) < relative(b); });
    if (tried.empty()) {
        report = "无法按内容推断 " + path + " 的图像宽高：文件大小不是任何常见尺寸的两帧以上的整数倍。";
        return false;
    }
    const auto decibels = [](double psnr) {
        char buffer[kFixedChars];
        return std::string(buffer, FixedToChars(buffer, buffer + sizeof buffer, psnr, 2)) + " dB";
    };
    const auto describe = [](const Candidate& c) {
        return DescribePicture(c.picture.width, c.picture.height, c.picture.format);
    };
    if (ranked.empty() || !(relative(ranked[0]) < std::pow(10.0, -kLeastPsnr / 10))) {
        report = "无法按内容推断 " + path + " 的图像宽高：试过 " + tried + "，第0帧与第1帧都不够相似（" +
                 (ranked.empty() ? std::string("没有一种的样本都在位深范围内")
                                 : "最高亮度 PSNR " + decibels(ranked[0].psnr) + "，应高于 20 dB") +
                 "）。";
        return false;
    }
    if (ranked.size() > 1 && !(relative(ranked[0]) * std::pow(10.0, kMarginDb / 10) < relative(ranked[1]))) {
        report = "无法按内容推断 " + path + " 的图像宽高：" + describe(ranked[0]) + "（第0帧与第1帧的亮度 PSNR " +
                 decibels(ranked[0].psnr) + "）与 " + describe(ranked[1]) + "（" + decibels(ranked[1].psnr) +
                 "）相差不到 3 dB，分不出哪个对（试过 " + tried + "）。";
        return false;
    }
    choice = ranked[0].picture;
    report = "按内容推断 " + path + " 的图像宽高：" + describe(ranked[0]) + "（第0帧与第1帧的亮度 PSNR " +
             decibels(ranked[0].psnr) + "；其次是 " +
             (ranked.size() > 1 ? describe(ranked[1]) + "，" + decibels(ranked[1].psnr) : std::string("无")) +
             "；试过 " + tried + "）";
    return true;
}

}  // namespace lorvane
