// Reading the two sequences of a run, and single frames for a viewer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "format.h"

namespace lorvane {

class DecodedSource;  // decoded.h

// How frames lie in one sequence file: raw, back to back, or YUV4MPEG2, each
// frame after a FRAME line; or, for an encoded file, where its decoder hands
// them out (then the file itself is not read).
struct SequenceFraming {
    bool y4m = false;
    std::uint64_t headerBytes = 0;  // the stream header, already consumed when reading starts
    // A raw stream's first bytes, read to see whether it was YUV4MPEG2: they
    // are the start of its first frame. `headUsed` of them are handed out already.
    std::string head;
    std::size_t headUsed = 0;
    DecodedSource* decoded = nullptr;
};

// The two files are read at the same time: a second thread reads the
// reference while the caller reads the target and computes, and the reference
// runs one slot ahead, so that reading it overlaps computing. Small frames go
// in batches (a slot holds several frames), so the threads meet once per batch
// rather than once per frame; a batch stays small enough that its frames are
// still in the cache when they are compared.
//
// What a sequential reader promises still holds: each frame is one read call
// per file (after its FRAME line for Y4M), each file is read in order, and
// frame j of either file is read only once frame j - 1 is known to be complete
// in both, so nothing beyond frame N - 1 or past the first incomplete frame is
// read. The sizes of regular files tell at the start how many frames both hold
// in full after where each file stands (past the frames a run skips); those the reference thread reads without waiting for the target,
// the rest (a pipe, a file still growing) frame by frame in step with it.
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

    PairReader(std::FILE* reference, SequenceFraming referenceFraming, std::FILE* target,
               SequenceFraming targetFraming, std::size_t frameSize, std::int32_t frameCount);
    PairReader(const PairReader&) = delete;
    PairReader& operator=(const PairReader&) = delete;
    ~PairReader() { Stop(); }

    // One block for all slots; false when memory is short.
    bool Allocate();
    void Start();
    // Frame `index`; indices must come in order 0, 1, 2, ...
    Frame Next(std::int32_t index);
    void ReleaseBuffers();
    // Ends the reference thread; the files may be closed afterwards.
    void Stop();

    // A FRAME line that was garbled or cut short ended that file.
    bool ReferenceFrameLineBad() const { return referenceBadLine_; }
    bool TargetFrameLineBad() const { return targetBadLine_; }

private:
    static constexpr std::size_t kBatchBytes = 256 << 10;
    static constexpr std::size_t kAheadBytes = 8 << 20;
    static constexpr std::size_t kAlignment = 64;  // whole cache lines for the kernels' loads

    std::uint8_t* AllocateBlock(std::size_t bytes);
    std::uint64_t CompleteFrames(std::FILE* file, const SequenceFraming& framing) const;
    std::uint8_t* ReferenceFrame(std::int32_t j);
    bool ReadFrame(std::FILE* file, SequenceFraming& framing, std::uint8_t* frame, bool& badLine);
    void BeginBatch(std::int32_t first);
    void ReadReference();

    struct Freer {
        void operator()(std::uint8_t* block) const { std::free(block); }
    };
    struct Mapping {
        void* start = nullptr;
        std::size_t bytes = 0;
        Mapping() = default;
        Mapping(const Mapping&) = delete;
        Mapping& operator=(const Mapping&) = delete;
        ~Mapping() { Release(); }
        void Release();
    };

    std::FILE* reference_;
    std::FILE* target_;
    SequenceFraming referenceFraming_, targetFraming_;
    std::size_t frameSize_;
    std::int32_t frameCount_;
    std::int32_t framesPerSlot_ = 1;
    int referenceSlotCount_ = 2;
    std::int32_t known_ = 0;  // frames both files hold in full, by their sizes at the start
    std::unique_ptr<std::uint8_t[], Freer> block_;
    Mapping mapping_;
    std::uint8_t* referenceSlots_[2] = {};
    std::uint8_t* targetSlot_ = nullptr;
    std::int32_t batchEnd_ = 0;  // the caller's thread only
    bool referenceBadLine_ = false;  // written by whoever reads the reference, read after Stop
    bool targetBadLine_ = false;

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

// Reads one FRAME line of a YUV4MPEG2 stream, parameters allowed. False at the
// end of the file, and also, with `badLine` set, when the line is garbled or
// cut short.
bool ReadFrameLine(std::FILE* file, bool& badLine);

// Moves an open sequence, at the start of a frame, past `count` frames: a
// regular file by seeking (over each FRAME line of a YUV4MPEG2 file), a pipe
// by reading and dropping the samples. Returns the frames skipped, fewer than
// `count` when the sequence ended first.
std::uint64_t SkipFrames(std::FILE* file, SequenceFraming& framing, std::uint64_t frameBytes, std::uint64_t count);

// Reads frame `index` (from 0) of a sequence into `frame`, seeking to it: raw
// frames at index x frameBytes, Y4M frames after their FRAME lines. Reads
// nothing else of the samples. False, with a reason in Chinese, when the file
// cannot be opened or holds no such complete frame.
bool ReadFrameAt(const std::string& path, std::uint64_t frameBytes, std::uint64_t index,
                 std::vector<std::uint8_t>& frame, std::string& error);

}  // namespace lorvane
