// Opening sequence and output files, and telling files apart whatever the
// spelling of their paths. Paths are UTF-8 on every platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

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
// For a file written whole in one go: an existing regular file is opened
// without being emptied and `inPlace` set, so that its blocks are written over
// rather than freed and allocated again, which on some file systems costs more
// than the writing; CutToLength then drops what is left of the old content.
// Anything else is opened as OpenForWriting opens it.
File OpenForRewriting(const std::string& path, bool& inPlace);
// Makes an open file `length` bytes long, after flushing it.
bool CutToLength(std::FILE* file, std::uint64_t length);

// True when `path` names the file `open` is, by any spelling: relative, "..",
// a symbolic or hard link (device and inode; on Windows volume and file index).
bool SameFile(const std::string& path, std::FILE* open);
// True when both paths name one existing file.
bool SameFile(const std::string& a, const std::string& b);

// The size of an open regular file; false for a pipe, a device or an error.
bool RegularFileSize(std::FILE* file, std::uint64_t& bytes);

}  // namespace lorvane
