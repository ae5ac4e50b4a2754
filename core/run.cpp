// The comparison run: checks the settings, opens the files, walks both
// sequences frame by frame and reports through RunFeedback.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#ifdef __linux__
#include <sys/mman.h>
#endif
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include "psnr.h"

namespace lorvane {
namespace {

const char* const kTitleError = "错误!";
const char* const kTitleOpen = "打开文件错误!";
const char* const kTitleWrite = "写入文件错误!";
const char* const kTitleDone = "计算成功！";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct Freer {
    void operator()(std::uint8_t* block) const { std::free(block); }
};
using Buffer = std::unique_ptr<std::uint8_t[], Freer>;

std::string WithPath(const std::string& pattern, const std::string& path)
{
    std::string text = pattern;
    text.replace(text.find("%s"), 2, path);
    return text;
}

// ---- File identity: device and inode (on Windows, volume and file index), so
// that any spelling of a path -- relative, "..", a symbolic or hard link -- is
// recognised as the same file.
struct FileId {
    unsigned long long volume = 0;
    unsigned long long index = 0;
    bool operator==(const FileId&) const = default;
};

#ifdef _WIN32
bool IdOfHandle(HANDLE handle, FileId& id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool IdOfOpenFile(std::FILE* file, FileId& id)
{
    return IdOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), id);
}

bool IdOfPath(const std::string& path, FileId& id)
{
    HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = IdOfHandle(handle, id);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return known;
}

bool IsDirectory(std::FILE*) { return false; }  // fopen refuses directories here
#else
bool IdOfOpenFile(std::FILE* file, FileId& id)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0)
        return false;
    id = {static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)};
    return true;
}

bool IdOfPath(const std::string& path, FileId& id)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return false;
    id = {static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)};
    return true;
}

// fopen(dir, "rb") succeeds on POSIX; a directory is not a sequence.
bool IsDirectory(std::FILE* file)
{
    struct stat info;
    return fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
}
#endif

File OpenSequence(const std::string& path)
{
    File file(std::fopen(path.c_str(), "rb"));
    if (file && IsDirectory(file.get()))
        file.reset();
    // Unbuffered: each frame is then one read straight into the frame buffer,
    // with no copy through the stream's buffer and no read-ahead past the
    // frames asked for (which matters when the input is a pipe or a device).
    if (file)
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
    return file;
}

bool SameFile(const std::string& path, std::FILE* open)
{
    FileId a, b;
    return IdOfPath(path, a) && IdOfOpenFile(open, b) && a == b;
}

// ---- Reading. The two files are read at the same time: a second thread reads
// the reference while this one reads the target and computes, and the
// reference runs one slot ahead, so that reading it overlaps computing. Small
// frames go in batches (a slot holds several frames), so the threads meet once
// per batch rather than once per frame; a batch stays small enough that its
// frames are still in the cache when they are compared.
//
// What a sequential reader promises still holds: each frame is one read call
// per file, each file is read in order, and frame j of either file is read only
// once frame j - 1 is known to be complete in both, so nothing beyond frame
// N - 1 or past the first incomplete frame is read. The sizes of regular files
// tell at the start how many frames both hold in full; those the reference
// thread reads without waiting for the target, the rest (a pipe, a file still
// growing) frame by frame in step with it.
//
// Memory: three slots, of at most kBatchBytes or one frame each. Frames above
// kAheadBytes get no slot ahead, so a run holds at most two frames plus
// kAheadBytes (on Linux rounded up to whole 2 MiB pages).
class PairReader {
public:
    struct Frame {
        const std::uint8_t* reference = nullptr;  // both null when the pair is incomplete
        const std::uint8_t* target = nullptr;
        bool referenceEnded = false;
        bool targetEnded = false;
    };

    PairReader(std::FILE* reference, std::FILE* target, std::size_t frameSize,
               std::int32_t frameCount)
        : reference_(reference), target_(target), frameSize_(frameSize), frameCount_(frameCount)
    {
        const std::size_t batch = std::max<std::size_t>(1, kBatchBytes / frameSize);
        framesPerSlot_ = std::int32_t(std::min<std::size_t>(batch, std::max(frameCount, 1)));
        referenceSlotCount_ = frameSize * std::size_t(framesPerSlot_) <= kAheadBytes ? 2 : 1;
        known_ = std::int32_t(std::min<std::uint64_t>(
            std::min(CompleteFrames(reference), CompleteFrames(target)), std::uint64_t(std::max(frameCount, 0))));
    }

    PairReader(const PairReader&) = delete;
    PairReader& operator=(const PairReader&) = delete;
    ~PairReader() { Stop(); }

    // One block for all slots; false when memory is short.
    bool Allocate()
    {
        const std::size_t slotBytes =
            (frameSize_ * std::size_t(framesPerSlot_) + kAlignment - 1) / kAlignment * kAlignment;
        std::uint8_t* data = AllocateBlock(slotBytes * std::size_t(referenceSlotCount_ + 1));
        if (!data)
            return false;
        for (int s = 0; s < referenceSlotCount_; ++s)
            referenceSlots_[s] = data + std::size_t(s) * slotBytes;
        targetSlot_ = data + std::size_t(referenceSlotCount_) * slotBytes;
        return true;
    }

    void Start()
    {
        if (frameCount_ <= framesPerSlot_)
            return;  // one batch: nothing to overlap, read on demand
        try {
            thread_ = std::thread([this] { ReadReference(); });
        } catch (const std::system_error&) {
            // No thread to be had: Next reads both files on demand instead.
        }
    }

    // Frame `index`; indices must come in order 0, 1, 2, ...
    Frame Next(std::int32_t index)
    {
        if (index == batchEnd_)
            BeginBatch(index);
        bool referenceComplete;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            referenceRead_.wait(lock, [&] { return referenceProgress_ > index || referenceEnded_; });
            referenceComplete = referenceProgress_ > index;
        }
        const bool targetComplete = targetProgress_ > index;
        if (!referenceComplete || !targetComplete)
            return {nullptr, nullptr, !referenceComplete, !targetComplete};
        const std::size_t offset = std::size_t(index % framesPerSlot_) * frameSize_;
        const std::uint8_t* reference = referenceSlots_[(index / framesPerSlot_) % referenceSlotCount_];
        return {reference + offset, targetSlot_ + offset, false, false};
    }

    void ReleaseBuffers()
    {
        Stop();
        block_.reset();
#ifdef __linux__
        mapping_.Release();
#endif
        referenceSlots_[0] = referenceSlots_[1] = targetSlot_ = nullptr;
    }

    // Ends the reference thread; the files may be closed afterwards.
    void Stop()
    {
        if (!thread_.joinable())
            return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        readerWakes_.notify_one();
        thread_.join();
    }

private:
    static constexpr std::size_t kBatchBytes = 256 << 10;
    static constexpr std::size_t kAheadBytes = 8 << 20;
    static constexpr std::size_t kAlignment = 64;  // whole cache lines for the kernels' loads

    // The slots' memory, its start on a cache line.
    std::uint8_t* AllocateBlock(std::size_t bytes)
    {
#ifdef __linux__
        // In 2 MiB pages, reading into the slots and comparing them takes far
        // fewer address translations, which cost most under a hypervisor: a
        // 1080p run took a fifth less time here, reading alone a third less.
        constexpr std::size_t kHugePage = 2 << 20;
        if (bytes >= kHugePage / 4) {
            const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            // Mapped with a page to spare so the slots can start on a 2 MiB
            // boundary; anonymous memory comes zeroed from the kernel, which
            // saves a pass over the buffers.
            mapping_.bytes = rounded + kHugePage;
            mapping_.start = mmap(nullptr, mapping_.bytes, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapping_.start == MAP_FAILED) {
                mapping_.start = nullptr;
                return nullptr;
            }
            const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(mapping_.start);
            auto* data = reinterpret_cast<std::uint8_t*>((address + kHugePage - 1) / kHugePage * kHugePage);
            madvise(data, rounded, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
            return data;
        }
#endif
        block_.reset(static_cast<std::uint8_t*>(std::calloc(bytes + kAlignment, 1)));
        if (!block_)
            return nullptr;
        const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(block_.get());
        return block_.get() + (kAlignment - address % kAlignment) % kAlignment;
    }

    // Frames of `frameSize_` bytes a regular file holds in full; 0 for anything else.
    std::uint64_t CompleteFrames(std::FILE* file) const
    {
#ifdef _WIN32
        struct _stat64 info;
        if (_fstat64(_fileno(file), &info) != 0 || !(info.st_mode & _S_IFREG))
            return 0;
#else
        struct stat info;
        if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))
            return 0;
#endif
        return info.st_size > 0 ? std::uint64_t(info.st_size) / frameSize_ : 0;
    }

    std::uint8_t* ReferenceFrame(std::int32_t j)
    {
        return referenceSlots_[(j / framesPerSlot_) % referenceSlotCount_] +
               std::size_t(j % framesPerSlot_) * frameSize_;
    }

    // Reads the target frames of the batch that starts at `first` (and, without
    // a reference thread, the reference frames too), up to the first incomplete pair.
    void BeginBatch(std::int32_t first)
    {
        const std::int32_t batch = first / framesPerSlot_;
        batchEnd_ = std::min(first + framesPerSlot_, frameCount_);
        const bool threaded = thread_.joinable();
        if (threaded) {
            // The previous batch is done with: its reference slot may be refilled.
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                currentBatch_ = batch;
            }
            readerWakes_.notify_one();
        }
        for (std::int32_t j = first; j < batchEnd_; ++j) {
            if (!threaded) {
                const bool complete = std::fread(ReferenceFrame(j), 1, frameSize_, reference_) == frameSize_;
                if (complete)
                    ++referenceProgress_;
                else
                    referenceEnded_ = true;
            } else if (j >= known_) {
                // Frame j of the target only once frame j - 1 of the reference is complete.
                std::unique_lock<std::mutex> lock(mutex_);
                referenceRead_.wait(lock, [&] { return referenceProgress_ >= j || referenceEnded_; });
                if (referenceProgress_ < j)
                    return;
            }
            std::uint8_t* frame = targetSlot_ + std::size_t(j - first) * frameSize_;
            const bool complete = std::fread(frame, 1, frameSize_, target_) == frameSize_;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (complete)
                    ++targetProgress_;
                else
                    targetEnded_ = true;
            }
            if (threaded && j + 1 >= known_)
                readerWakes_.notify_one();
            if (!complete || (!threaded && referenceEnded_))
                return;
        }
    }

    // The reference thread.
    void ReadReference()
    {
        for (std::int32_t j = 0; j < frameCount_; ++j) {
            const std::int32_t batch = j / framesPerSlot_;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                // Its slot free, and (past the frames known to be complete)
                // frame j - 1 of the target read in full.
                readerWakes_.wait(lock, [&] {
                    return stop_ || (currentBatch_ > batch - referenceSlotCount_ &&
                                     (j < known_ || targetProgress_ >= j || targetEnded_));
                });
                if (stop_ || (j >= known_ && targetProgress_ < j))
                    return;
            }
            const bool complete = std::fread(ReferenceFrame(j), 1, frameSize_, reference_) == frameSize_;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (complete)
                    ++referenceProgress_;
                else
                    referenceEnded_ = true;
            }
            referenceRead_.notify_one();
            if (!complete)
                return;
        }
    }

    std::FILE* reference_;
    std::FILE* target_;
    std::size_t frameSize_;
    std::int32_t frameCount_;
    std::int32_t framesPerSlot_ = 1;
    int referenceSlotCount_ = 2;
    std::int32_t known_ = 0;  // frames both files hold in full, by their sizes at the start
    Buffer block_;
#ifdef __linux__
    struct Mapping {
        void* start = nullptr;
        std::size_t bytes = 0;
        Mapping() = default;
        Mapping(const Mapping&) = delete;
        Mapping& operator=(const Mapping&) = delete;
        ~Mapping() { Release(); }
        void Release()
        {
            if (start)
                munmap(start, bytes);
            start = nullptr;
        }
    } mapping_;
#endif
    std::uint8_t* referenceSlots_[2] = {};
    std::uint8_t* targetSlot_ = nullptr;
    std::int32_t batchEnd_ = 0;  // this thread's only

    // Shared with the reference thread, under mutex_. Each count is written by
    // one side only; the other reads it under the mutex.
    std::mutex mutex_;
    std::condition_variable referenceRead_;  // the reference thread made progress
    std::condition_variable readerWakes_;    // the target, a free slot or stop
    std::int32_t referenceProgress_ = 0;     // reference frames read in full
    bool referenceEnded_ = false;            // the read of frame referenceProgress_ was short
    std::int32_t targetProgress_ = 0;
    bool targetEnded_ = false;
    std::int32_t currentBatch_ = 0;  // batches before it are done with
    bool stop_ = false;
    std::thread thread_;
};

std::string EndedEarlyLine(const PsnrSettings& settings, bool referenceEnded, bool targetEnded,
                           std::int32_t compared)
{
    std::string who;
    if (referenceEnded && targetEnded)
        who = "源参考序列 " + settings.sourcePath + " 和目标序列 " + settings.targetPath + " 都";
    else if (referenceEnded)
        who = "源参考序列 " + settings.sourcePath + " ";
    else
        who = "目标序列 " + settings.targetPath + " ";
    return who + "提前结束：只比较了" + std::to_string(compared) + "帧，要求" +
           std::to_string(settings.frameCount) + "帧。\n";
}

bool InRange(std::int32_t value) { return value >= 0 && value <= kMaxDimension; }

}  // namespace

void RunComparison(const PsnrSettings& settings, RunFeedback& feedback)
{
    // Settings that cannot describe a sequence end the run before any file is touched.
    if (settings.width == 0 || settings.height == 0) {
        feedback.ShowMessage("请正确输入图像宽高！", kTitleError, MessageIcon::Error);
        return;
    }
    if (!InRange(settings.width) || !InRange(settings.height) || !InRange(settings.frameCount) ||
        std::int64_t(settings.width) * settings.height > kMaxLumaSamples) {
        feedback.ShowMessage("图像宽高或帧数超出范围！\n宽度、高度和帧数应在 0 到 1000000000 之间，"
                             "且宽度×高度不超过 429496729。",
                             kTitleError, MessageIcon::Error);
        return;
    }

    const FrameLayout layout = ComputeFrameLayout(settings.width, settings.height);
    double sumY = 0.0, sumU = 0.0, sumV = 0.0;

    // The two sequences.
    if (settings.sourcePath.empty()) {
        feedback.ShowMessage("请输入源参考序列文件名！", kTitleOpen, MessageIcon::Error);
        return;
    }
    File source = OpenSequence(settings.sourcePath);
    if (!source) {
        feedback.ShowMessage(WithPath("不能打开 %s!\n请确认路径是否正确！", settings.sourcePath),
                             kTitleOpen, MessageIcon::Error);
        return;
    }
    if (settings.targetPath.empty()) {
        feedback.ShowMessage("请输入目标序列文件名！", kTitleOpen, MessageIcon::Error);
        return;
    }
    File target = OpenSequence(settings.targetPath);
    if (!target) {
        feedback.ShowMessage(WithPath("不能打开 %s!请确认路径是否正确！", settings.targetPath),
                             kTitleOpen, MessageIcon::Error);
        return;
    }

    // Frame buffers, taken before the result file is created or truncated,
    // so that a run that cannot get them leaves an existing result file as it was.
    PairReader reader(source.get(), target.get(), std::size_t(layout.frameSize), settings.frameCount);
    if (!reader.Allocate()) {
        target.reset();
        source.reset();
        feedback.ShowMessage("内存不足，无法为 " + std::to_string(settings.width) + "×" +
                                 std::to_string(settings.height) + " 的帧分配缓冲区！",
                             kTitleError, MessageIcon::Error);
        return;
    }

    // The result file. Opening it truncates, so a result path that names one
    // of the sequences by any spelling is refused first.
    const bool wantResult = !settings.resultPath.empty();
    File result;
    bool writeFailed = false;
    auto write = [&](const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), result.get()) != text.size())
            writeFailed = true;
    };
    if (wantResult) {
        const bool isSource = SameFile(settings.resultPath, source.get());
        if (isSource || SameFile(settings.resultPath, target.get())) {
            feedback.ShowMessage(WithPath(isSource ? "结果保存文件 %s 就是源参考序列!\n请另选结果保存文件！"
                                                   : "结果保存文件 %s 就是目标序列!\n请另选结果保存文件！",
                                          settings.resultPath),
                                 kTitleOpen, MessageIcon::Error);
            return;
        }
        // Binary mode: the CR LF line ends are written explicitly on every platform.
        result.reset(std::fopen(settings.resultPath.c_str(), "wb+"));
        if (!result) {
            feedback.ShowMessage(WithPath("不能打开 %s!请确认路径是否正确！", settings.resultPath),
                                 kTitleOpen, MessageIcon::Error);
            return;
        }
        write(ResultHeaderLine());
    }

    // The frames. A frame is compared only when both files delivered all
    // of it; the first incomplete pair ends the run.
    feedback.ProgressBegin(settings.frameCount);
    reader.Start();
    std::int32_t compared = 0;
    bool referenceEnded = false, targetEnded = false;
    for (std::int32_t i = 0; i < settings.frameCount; ++i) {
        feedback.ProgressStep(i);
        const PairReader::Frame frame = reader.Next(i);
        if (!frame.reference) {
            referenceEnded = frame.referenceEnded;
            targetEnded = frame.targetEnded;
            break;
        }
        const double y = PlanePsnr(frame.reference, frame.target, settings.width, settings.height);
        const double u = PlanePsnr(frame.reference + layout.uOffset, frame.target + layout.uOffset,
                                   layout.chromaWidth, layout.chromaHeight);
        const double v = PlanePsnr(frame.reference + layout.vOffset, frame.target + layout.vOffset,
                                   layout.chromaWidth, layout.chromaHeight);
        if (result)
            write(ResultFrameLine(i, y, u, v));
        sumY += y;
        sumU += u;
        sumV += v;
        ++compared;
    }
    reader.Stop();

    // Averages to standard error and to the result file.
    const std::string diagnostic = AverageLine(ReportAverage(sumY, compared), ReportAverage(sumU, compared),
                                               ReportAverage(sumV, compared), "\n");
    std::fputs(diagnostic.c_str(), stderr);
    if (result) {
        write(AverageLine(ReportAverage(sumY, compared), ReportAverage(sumU, compared),
                          ReportAverage(sumV, compared), "\r\n"));
        if (std::ferror(result.get()))
            writeFailed = true;
        if (std::fclose(result.release()) != 0)
            writeFailed = true;
    }

    source.reset();
    target.reset();
    reader.ReleaseBuffers();

    // A result file that was not written completely is a failure, never a success.
    if (writeFailed) {
        feedback.ShowMessage(WithPath("写入结果文件 %s 时出错!\n结果文件不完整，请检查磁盘空间后重新计算！",
                                      settings.resultPath),
                             kTitleWrite, MessageIcon::Error);
    } else {
        std::string summary = SummaryText(compared, ReportAverage(sumY, compared),
                                          ReportAverage(sumU, compared), ReportAverage(sumV, compared));
        const bool ended = referenceEnded || targetEnded;
        if (ended)
            summary += EndedEarlyLine(settings, referenceEnded, targetEnded, compared);
        feedback.ShowMessage(summary, kTitleDone, ended ? MessageIcon::Warning : MessageIcon::None);
    }
    feedback.ProgressEnd();
}

}  // namespace lorvane
