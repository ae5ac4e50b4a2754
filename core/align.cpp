#include "align.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "decoded.h"
#include "files.h"
#include "psnr.h"
#include "reader.h"
#include "ssd.h"

namespace lorvane {
namespace {



std::string Decimals2(double value)
{
    char text[kFixedChars];
    return std::string(text, FixedToChars(text, text + sizeof text, value, 2));
}

// Rows of the luma plane compared: all of them, or, when only about `budget`
// samples may be looked at, two bands across the middle of the upper and the
// lower half. Each band is one read a frame: the reads, not the sums, are
// what such a look costs.
struct Band {
    std::int32_t first, rows;
};
std::vector<Band> LumaBands(const PictureLayout::Plane& luma, std::uint64_t budget)
{
    if (budget == 0 || luma.Samples() <= budget)
        return {{0, luma.height}};
    const std::int32_t rows = std::int32_t(std::max<std::uint64_t>(1, budget / std::uint64_t(luma.width)));
    const std::int32_t count = std::min(rows, 2);
    const std::int32_t each = rows / count, slice = luma.height / count;
    std::vector<Band> bands;
    for (std::int32_t b = 0; b < count; ++b)
        bands.push_back({b * slice + (slice - each) / 2, each});
    return bands;
}

// The chosen luma rows of a regular file's frames, one frame after another.
class LumaRows {
public:
    LumaRows(const std::string& path, const SequenceInfo& info, const PictureLayout& layout, const PixelFormat* format,
             const std::vector<Band>& bands, int stream)
        : layout_(layout), format_(format), bands_(bands)
    {
        if (!info.encoded.empty()) {
            std::string error;
            decoded_ = DecodedSource::Open(path, "", stream, error);
            return;
        }
        file_ = OpenSequence(path);
        framing_.y4m = info.y4m;
        framing_.headerBytes = info.y4m ? info.header.headerBytes : 0;
        if (file_ && !(RegularFileSize(file_.get(), size_) && SeekTo(file_.get(), framing_.headerBytes)))
            file_.reset();
    }
    bool Opened() const { return file_ != nullptr || decoded_ != nullptr; }
    std::uint64_t Skip(std::uint64_t frames)
    {
        if (decoded_) {
            PictureView view;
            std::uint64_t k = 0;
            while (k < frames && decoded_->ReadPicture(view))
                ++k;
            return k;
        }
        return SkipFrames(file_.get(), framing_, std::uint64_t(layout_.frameBytes), frames);
    }
    std::size_t Bytes() const
    {
        std::size_t rows = 0;
        for (const Band& band : bands_)
            rows += std::size_t(band.rows);
        return rows * RowBytes();
    }
    // The next frame's rows into `out` (Bytes() of them); false past the last whole frame.
    bool Next(std::uint8_t* out)
    {
        if (decoded_) {
            PictureView view;
            if (layout_.planes[0].unpacked || !decoded_->ReadPicture(view))
                return false;
            for (const Band& band : bands_)
                for (std::int32_t y = band.first; y < band.first + band.rows; ++y, out += RowBytes())
                    std::memcpy(out, view.planes[0] + std::ptrdiff_t(y) * view.strides[0], RowBytes());
            return true;
        }
        bool badLine = false;
        if (framing_.y4m && !ReadFrameLine(file_.get(), badLine))
            return false;
        const std::uint64_t start = Tell(file_.get());
        if (start > size_ || size_ - start < layout_.frameBytes)
            return false;
        if (layout_.planes[0].unpacked) {
            // Luma interleaved with chroma (packed 4:2:2) or stored shifted
            // (P010): the whole frame, unpacked as the run unpacks it.
            if (!format_)
                return false;
            frame_.resize(std::size_t(layout_.frameBytes));
            unpacked_.resize(std::size_t(layout_.unpackedBytes));
            if (std::fread(frame_.data(), 1, frame_.size(), file_.get()) != frame_.size())
                return false;
            UnpackFrame(*format_, layout_, frame_.data(), unpacked_.data());
            for (const Band& band : bands_) {
                const std::size_t bytes = std::size_t(band.rows) * RowBytes();
                std::memcpy(out, unpacked_.data() + layout_.planes[0].offset + std::size_t(band.first) * RowBytes(),
                            bytes);
                out += bytes;
            }
            return true;
        }
        for (const Band& band : bands_) {
            const std::size_t bytes = std::size_t(band.rows) * RowBytes();
            if (!SeekTo(file_.get(), start + layout_.planes[0].offset + std::uint64_t(band.first) * RowBytes()) ||
                std::fread(out, 1, bytes, file_.get()) != bytes)
                return false;
            out += bytes;
        }
        return SeekTo(file_.get(), start + layout_.frameBytes);
    }

private:
    std::size_t RowBytes() const { return std::size_t(layout_.planes[0].width) * std::size_t(layout_.bytesPerSample); }

    File file_;
    std::unique_ptr<DecodedSource> decoded_;
    SequenceFraming framing_;
    std::uint64_t size_ = 0;
    PictureLayout layout_;
    const PixelFormat* format_;
    std::vector<Band> bands_;
    std::vector<std::uint8_t> frame_, unpacked_;  // for unpacked luma only
};

std::uint64_t SsdOf(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int bytesPerSample)
{
    if (bytesPerSample == 1)
        return Ssd(a.data(), b.data(), a.size());
    return Ssd16(reinterpret_cast<const std::uint16_t*>(a.data()), reinterpret_cast<const std::uint16_t*>(b.data()),
                 a.size() / 2);
}

// The best shift and the one after it, by MSE; null when fewer were measured.
struct Ranking {
    const ShiftMse* best = nullptr;
    const ShiftMse* second = nullptr;
};
Ranking Rank(const std::vector<ShiftMse>& shifts)
{
    Ranking r;
    for (const ShiftMse& s : shifts) {
        if (!r.best || s.mse < r.best->mse)
            r.second = r.best, r.best = &s;
        else if (!r.second || s.mse < r.second->mse)
            r.second = &s;
    }
    return r;
}

// Frame content gives no sure answer, so a shift is taken only when it is
// clearly the one: the other's luma MSE at least twice its own (3 dB). A
// shift of one frame on slow content, or an encode's own error, rarely
// doubles the MSE; a wrong shift on moving content does by far. Frames that
// hardly change make every shift alike, and then nothing is taken.
bool ClearlyBetter(double mse, double other) { return other > mse && other >= 2 * mse; }

std::string ShiftRange(std::int32_t maxShift)
{
    return "试过 " + std::to_string(-maxShift) + " 到 " + std::to_string(maxShift);
}

}  // namespace

FrameSkips SkipsOf(std::int32_t offset, std::int32_t start)
{
    const std::uint64_t s = std::uint64_t(std::max(start, 0));
    return {std::uint64_t(std::max<std::int64_t>(offset, 0)) + s, std::uint64_t(std::max<std::int64_t>(-std::int64_t(offset), 0)) + s};
}

std::string DescribeStep(std::int32_t offset, std::int32_t start)
{
    std::string text;
    if (offset != 0)
        text = "偏移 " + std::to_string(offset);
    if (start != 0)
        text += (text.empty() ? "" : "、") + std::string("起始 ") + std::to_string(start);
    return text;
}

std::string SkipBeyondLine(const char* role, const std::string& path, std::uint64_t held, std::uint64_t skip,
                           std::int32_t offset, std::int32_t start)
{
    return std::string(role) + " " + path + " 有 " + std::to_string(held) + " 帧，" + DescribeStep(offset, start) +
           " 要跳过它的前 " + std::to_string(skip) + " 帧。\n";
}

bool MeasureShifts(const SequencePair& pair, std::int32_t maxShift, std::uint64_t firstPair,
                   std::uint64_t sampleBudget, std::vector<ShiftMse>& shifts)
{
    const std::vector<Band> bands = LumaBands(pair.layout.planes[0], sampleBudget);
    const int bytesPerSample = pair.layout.bytesPerSample;
    std::vector<std::uint64_t> ssd(std::size_t(2 * maxShift + 1)), pairs(ssd.size());
    LumaRows reference(pair.referencePath, pair.reference, pair.layout, pair.format, bands, -1);
    LumaRows target(pair.targetPath, pair.target, pair.layout, pair.format, bands, pair.targetStream);
    if (!reference.Opened() || !target.Opened())
        return false;
    // Each frame is read once, and the first kShiftPairs of each sequence
    // kept: the target's are paired with the reference's frames as they come
    // for the offsets 0..maxShift, then the reference's with the target's
    // for -1..-maxShift.
    const auto measure = [&](LumaRows& read, std::vector<std::vector<std::uint8_t>>& keep,
                             const std::vector<std::vector<std::uint8_t>>& kept, bool targetKept) {
        const std::int32_t least = targetKept ? 0 : 1;
        std::vector<std::uint8_t> frame(read.Bytes());
        for (std::int32_t j = 0; j < maxShift + std::int32_t(kept.size()); ++j) {
            // The target's first frames are kept already.
            const std::vector<std::uint8_t>* current = &frame;
            if (!targetKept && j < std::int32_t(keep.size()))
                current = &keep[std::size_t(j)];
            else if (!read.Next(frame.data()))
                break;
            else if (targetKept && std::int32_t(keep.size()) < kShiftPairs)
                keep.push_back(frame);
            for (std::int32_t i = std::max(0, j - maxShift); i <= j - least && i < std::int32_t(kept.size()); ++i) {
                const std::int32_t shift = targetKept ? j - i : i - j;
                ssd[std::size_t(shift + maxShift)] += SsdOf(kept[std::size_t(i)], *current, bytesPerSample);
                ++pairs[std::size_t(shift + maxShift)];
            }
        }
    };
    if (reference.Skip(firstPair) == firstPair && target.Skip(firstPair) == firstPair) {
        std::vector<std::vector<std::uint8_t>> targetFrames, referenceFrames;
        for (std::vector<std::uint8_t> frame(target.Bytes());
             std::int32_t(targetFrames.size()) < kShiftPairs && target.Next(frame.data());)
            targetFrames.push_back(frame);
        measure(reference, referenceFrames, targetFrames, true);
        measure(target, targetFrames, referenceFrames, false);
    }
    shifts.clear();
    double samples = 0;
    for (const Band& band : bands)
        samples += double(band.rows) * double(pair.layout.planes[0].width);
    for (std::int32_t k = -maxShift; k <= maxShift; ++k)
        if (const std::uint64_t n = pairs[std::size_t(k + maxShift)])
            shifts.push_back({k, std::int32_t(n), double(ssd[std::size_t(k + maxShift)]) / (double(n) * samples)});
    return true;
}

bool FindOffset(const SequencePair& pair, std::int32_t maxShift, std::uint64_t firstPair, std::int32_t& offset,
                std::string& report)
{
    std::vector<ShiftMse> shifts;
    const std::string what = "目标序列 " + pair.targetPath + " 与源参考序列 " + pair.referencePath;
    if (!MeasureShifts(pair, maxShift, firstPair, 0, shifts)) {
        report = "无法按内容对齐" + what + "：不能读取文件。";
        return false;
    }
    const Ranking r = Rank(shifts);
    if (!r.second) {
        report = "无法按内容对齐" + what + "：帧数太少，没有两个可以比较的偏移（" + ShiftRange(maxShift) + "）。";
        return false;
    }
    const std::string best = "偏移 " + std::to_string(r.best->shift) + "（前 " + std::to_string(r.best->pairs) +
                             " 对帧的亮度 MSE " + Decimals2(r.best->mse) + "）";
    const std::string second = "偏移 " + std::to_string(r.second->shift) + "（MSE " + Decimals2(r.second->mse) + "）";
    if (!ClearlyBetter(r.best->mse, r.second->mse)) {
        report = "无法按内容对齐" + what + "：最好的" + best + "与其次的" + second + "相差不到一倍，分不出哪个对（" +
                 ShiftRange(maxShift) + "）。";
        return false;
    }
    offset = r.best->shift;
    report = "按内容对齐" + what + "：取" + best + "，其次是" + second + "；" + ShiftRange(maxShift) + "。";
    return true;
}

std::int32_t LikelyShift(const SequencePair& pair, std::uint64_t firstPair, std::string& report)
{
    constexpr std::int32_t kLook = 2;
    // About 16 K luma samples a frame, 130 K over the 8 pairs: plenty to tell
    // a shift that halves the MSE, and a fraction of a millisecond.
    constexpr std::uint64_t kBudget = 1 << 14;
    const auto candidate = [&](std::uint64_t budget, std::int32_t look, ShiftMse& none, ShiftMse& best) {
        std::vector<ShiftMse> shifts;
        if (!MeasureShifts(pair, look, firstPair, budget, shifts))
            return false;
        bool haveNone = false, haveBest = false;
        for (const ShiftMse& s : shifts) {
            if (s.shift == 0)
                none = s, haveNone = true;
            else if (!haveBest || s.mse < best.mse)
                best = s, haveBest = true;
        }
        return haveNone && haveBest && ClearlyBetter(best.mse, none.mse);
    };
    ShiftMse none, best;
    if (!candidate(kBudget, kLook, none, best))
        return 0;
    // Rare: the numbers said are those of the whole luma plane, and must bear the finding out.
    const std::int32_t shift = best.shift;
    if (!candidate(0, shift < 0 ? -shift : shift, none, best) || best.shift != shift)
        return 0;
    const std::int32_t distance = shift < 0 ? -shift : shift;
    report = "目标序列 " + pair.targetPath + " 看来与源参考序列差了 " + std::to_string(distance) + " 帧：第" +
             std::to_string(firstPair + std::uint64_t(std::max(-shift, 0))) + "帧对应源参考序列第" +
             std::to_string(firstPair + std::uint64_t(std::max(shift, 0))) +
             "帧（亮度 MSE " + Decimals2(best.mse) + "，不错位时 " + Decimals2(none.mse) + "）。";
    return shift;
}

}  // namespace lorvane
