// Opening sequence and output files, and telling files apart whatever the
// spelling of their paths. Paths are UTF-8 on every platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace lorvane {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

#ifdef _WIN32
// For the wide Windows functions; empty when `path` is empty, not UTF-8 or
// holds a NUL, so that such a path opens nothing.
std::wstring WidePath(const std::string& path);
#endif
// For std::filesystem, which on Windows would read a narrow string in the
// ANSI code page.
std::filesystem::path FilesystemPath(const std::string& path);

// For binary reading, unbuffered; null for a missing file or a directory.
File OpenSequence(const std::string& path);
// Created or truncated, for binary writing.
File OpenForWriting(const std::string& path);

// An output file written whole or not at all. A regular file (or a name not
// yet taken) is written to a temporary file in the same folder and renamed
// over its name by Commit, so that an interrupted or failed run, or a second
// run writing the same name, never leaves a mix of old and new content. A
// symbolic link is followed: the file it points to is replaced, the link
// stays. A device, a FIFO or standard output is written straight through; a
// FIFO is opened write-only, so opening waits for its reader.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { Discard(); }

    // Writes go to standard output, whatever path Open is later given.
    void SendToStdout() { toStdout_ = true; }
    bool ToStdout() const { return toStdout_; }
    // False when the file cannot be written at all: a missing folder, a
    // folder, a file this process may not write.
    bool Open(const std::string& path);
    bool Opened() const { return opened_; }
    // Written to a temporary file: nothing reaches the output before Commit.
    // Otherwise what was written cannot be taken back.
    bool Staged() const { return staged_; }
    void Write(std::string_view text);
    // Flushes and closes, or for standard output flushes; false when any
    // byte was lost. The content is not in place until Commit.
    bool Finish();
    // Puts a finished temporary file in place of the output; false, with the
    // temporary file removed, when that fails.
    bool Commit();
    // Removes the temporary file; an existing output stays as it was.
    void Discard();

private:
    bool OpenStream(const std::string& path);

    bool toStdout_ = false;
    bool failed_ = false;
    bool opened_ = false;
    bool staged_ = false;
    std::FILE* stream_ = nullptr;
    std::string temporary_;  // empty: written straight through
    std::string destination_;
    int slot_ = -1;          // in the list of files removed on a signal
};

// Temporary output files are removed when the process is stopped by SIGINT,
// SIGTERM, SIGHUP or SIGPIPE (which then ends it as before); a file-size limit
// (SIGXFSZ) makes the write fail instead of ending the process. Called once by
// a front end at start.
void RemoveTemporaryFilesOnSignals();

// True when `path` is written to what standard output is: "-", /dev/stdout,
// /dev/fd/1, /proc/self/fd/1, or the file standard output is redirected to.
// The null device is never taken for it.
bool NamesStandardOutput(const std::string& path);
// True when two output paths would write one file: by any spelling of an
// existing file (link, hard link) or, for names not yet taken, the same
// absolute path. The null device may take any number of outputs.
bool SameOutputFile(const std::string& a, const std::string& b);

// True when `path` names the file `open` is, by any spelling: relative, "..",
// a symbolic or hard link (device and inode; on Windows volume and file index).
bool SameFile(const std::string& path, std::FILE* open);
// True when both paths name one existing file.
bool SameFile(const std::string& a, const std::string& b);

// 64-bit positions in an open file, on every platform (a long is 32 bits on
// Windows). Tell gives 0 when the position cannot be known.
bool SeekTo(std::FILE* file, std::uint64_t offset);
std::uint64_t Tell(std::FILE* file);

// The size of an open regular file; false for a pipe, a device or an error.
bool RegularFileSize(std::FILE* file, std::uint64_t& bytes);

}  // namespace lorvane
