// Reading the sequences of a run, and single frames for a viewer.
#pragma once

#include <condition_variable>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decoded.h"
#include "format.h"

namespace lorvane {


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

// The reference and the targets are read at the same time: a second thread
// reads the reference while the caller reads the targets and computes, and the
// reference runs one slot ahead, so that reading it overlaps computing. Small
// frames go in batches (a slot holds several frames), so the threads meet once
// per batch rather than once per frame; a batch stays small enough that its
// frames are still in the cache when they are compared.
//
// Frames are indexed by the reference: a target with a delay d has its frame
// i read for reference frame i + d (targets of one run may be out of step with
// the reference by different amounts, and the reference is read once for all).
//
// What a sequential reader promises still holds: each frame is one read call
// per file (after its FRAME line for Y4M), each file is read in order, and
// frame j of any file is read only once frame j - 1 is known to be complete in
// the reference and handled in every target, so nothing beyond a target's
// frames asked for or past the first incomplete frame is read. The sizes of
// regular files tell at the start how many frames each holds in full after
// where it stands (past the frames a run skips); those the reference thread
// reads without waiting for the targets, the rest (a pipe, a file still
// growing) frame by frame in step with them.
//
// Memory: two reference slots and one per target, of at most kBatchBytes or
// one frame each. Frames above kAheadBytes get no reference slot ahead, so a
// run with one target holds at most two frames plus kAheadBytes (on Linux
// rounded up to whole 2 MiB pages).
class RunReader {
public:
    struct Target {
        std::FILE* file = nullptr;
        SequenceFraming framing;
        std::int32_t delay = 0;       // reference frames before its first pair
        std::int32_t frameCount = 0;  // its frames to compare at most
    };

    RunReader(std::FILE* reference, SequenceFraming referenceFraming, std::vector<Target> targets,
              std::size_t frameSize);
    RunReader(const RunReader&) = delete;
    RunReader& operator=(const RunReader&) = delete;
    ~RunReader() { Stop(); }

    // Reference frames the run may go through: the end of the last target's frames.
    std::int32_t Length() const { return length_; }
    // One block for all slots; false when memory is short.
    bool Allocate();
    void Start();
    // Reference frame `index`, null when the reference ended before it.
    // Indices must come in order 0, 1, 2, ..., and only while some target
    // still wants frames (has not ended or reached its count).
    const std::uint8_t* Next(std::int32_t index);
    // After Next(index): target k's frame for reference frame `index`, null
    // when it was not read in full.
    const std::uint8_t* TargetFrame(std::size_t k, std::int32_t index) const;
    // Decoded targets hand their frames over where the decoder holds them,
    // without a copy, when the frames are planar and go one to a slot (large
    // ones: small ones are batched, which needs them copied). Call before Start.
    void ReadDecodedInPlace() { inPlace_ = framesPerSlot_ == 1; }
    // After Next(index): target k's frame for reference frame `index` when
    // it was handed over in place; null otherwise (then see TargetFrame).
    const PictureView* TargetInPlace(std::size_t k, std::int32_t index) const;
    // Target k's read came short: the target ended.
    bool TargetEnded(std::size_t k) const { return targets_[k].ended; }
    void ReleaseBuffers();
    // Ends the reference thread; the files may be closed afterwards.
    void Stop();

    // A FRAME line that was garbled or cut short ended that file.
    bool ReferenceFrameLineBad() const { return referenceBadLine_; }
    bool TargetFrameLineBad(std::size_t k) const { return targets_[k].badLine; }

private:
    static constexpr std::size_t kBatchBytes = 256 << 10;
    static constexpr std::size_t kAheadBytes = 8 << 20;
    static constexpr std::size_t kAlignment = 64;  // whole cache lines for the kernels' loads

    // The caller's thread only, but for `badLine` and `ended`, read after Stop.
    struct TargetState : Target {
        std::int32_t known = 0;  // reference indices below which the pair's frames are held in full by the sizes
        std::int32_t readTo = 0;  // reference indices read in full
        bool ended = false;       // a read came short
        bool done = false;        // read no further
        bool badLine = false;
        std::uint8_t* slot = nullptr;
        PictureView view;  // the frame read in place
        bool Wants(std::int32_t j) const { return !done && j >= delay && j < delay + frameCount; }
    };

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
    SequenceFraming referenceFraming_;
    std::vector<TargetState> targets_;
    std::size_t frameSize_;
    std::int32_t length_ = 0;
    std::int32_t framesPerSlot_ = 1;
    bool inPlace_ = false;
    int referenceSlotCount_ = 2;
    std::int32_t known_ = 0;  // reference frames it may read without waiting, by the sizes at the start
    std::unique_ptr<std::uint8_t[], Freer> block_;
    Mapping mapping_;
    std::uint8_t* referenceSlots_[2] = {};
    std::int32_t batchEnd_ = 0;  // the caller's thread only
    bool referenceBadLine_ = false;  // written by whoever reads the reference, read after Stop

    // Shared with the reference thread, under mutex_. Each is written by one
    // side only; the other reads it under the mutex.
    std::mutex mutex_;
    std::condition_variable referenceRead_;  // the reference thread made progress or quit
    std::condition_variable readerWakes_;    // the targets, a free slot or stop
    std::int32_t referenceProgress_ = 0;     // reference frames read in full
    bool referenceEnded_ = false;            // the read of frame referenceProgress_ was short
    bool referenceQuit_ = false;             // the thread is gone: no target wanted more
    std::int32_t handled_ = 0;  // reference indices below it are done with in every target
    std::int32_t reach_ = INT32_MAX;  // no target pairs a reference frame from here on
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
// nothing else of the samples; an encoded file's frame decoded (its video
// stream `stream`, -1 for the first). False, with a reason in Chinese, when the
// file cannot be opened or holds no such complete frame.
bool ReadFrameAt(const std::string& path, std::uint64_t frameBytes, std::uint64_t index,
                 std::vector<std::uint8_t>& frame, std::string& error, int stream = -1);

}  // namespace lorvane
