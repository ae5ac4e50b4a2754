#include "files.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

namespace lorvane {
namespace {

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

std::FILE* Open(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
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

std::FILE* Open(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
#endif

}  // namespace

File OpenSequence(const std::string& path)
{
    File file(Open(path, "rb"));
    if (file && IsDirectory(file.get()))
        file.reset();
    // Unbuffered: each frame is then one read straight into the frame buffer,
    // with no copy through the stream's buffer and no read-ahead past the
    // frames asked for (which matters when the input is a pipe or a device).
    if (file)
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
    return file;
}

File OpenForWriting(const std::string& path)
{
    // Binary mode: line ends are written explicitly on every platform.
    return File(Open(path, "wb+"));
}

bool SameFile(const std::string& path, std::FILE* open)
{
    FileId a, b;
    return IdOfPath(path, a) && IdOfOpenFile(open, b) && a == b;
}

bool SameFile(const std::string& a, const std::string& b)
{
    FileId x, y;
    return IdOfPath(a, x) && IdOfPath(b, y) && x == y;
}

bool RegularFileSize(std::FILE* file, std::uint64_t& bytes)
{
#ifdef _WIN32
    struct _stat64 info;
    if (_fstat64(_fileno(file), &info) != 0 || !(info.st_mode & _S_IFREG))
        return false;
#else
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
#endif
    bytes = info.st_size > 0 ? std::uint64_t(info.st_size) : 0;
    return true;
}

}  // namespace lorvane
