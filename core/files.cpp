#include "files.h"

#include <sys/stat.h>

#include <cstring>
#include <limits>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace lorvane {

#ifdef _WIN32
std::wstring WidePath(const std::string& path)
{
    if (path.empty() || path.size() > 0x7fffffff)
        return {};
    // Strict: a byte sequence that is not UTF-8 names no file, rather than
    // some other file its replacement characters happen to spell.
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(std::size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), wide.data(), length);
    if (wide.find(L'\0') != std::wstring::npos)
        return {};
    return wide;
}
#endif

std::filesystem::path FilesystemPath(const std::string& path)
{
#ifdef _WIN32
    const std::wstring wide = WidePath(path);
    // An empty path finds nothing, as a name that is not UTF-8 should not.
    return std::filesystem::path(wide);
#else
    return std::filesystem::path(path);
#endif
}

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

// The wide function and Windows' own path rules: another letter case, either
// slash and a trailing dot all reach the same file, which the id then tells.
bool IdOfPath(const std::string& path, FileId& id)
{
    const std::wstring wide = WidePath(path);
    if (wide.empty())
        return false;
    HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = IdOfHandle(handle, id);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return known;
}

bool IsDirectory(std::FILE* file)
{
    struct _stat64 info;
    return _fstat64(_fileno(file), &info) == 0 && (info.st_mode & _S_IFDIR);
}

// fopen would read the path in the ANSI code page, which cannot spell most
// names; the wide function takes every name Windows can.
std::FILE* Open(const std::string& path, const char* mode)
{
    const std::wstring wide = WidePath(path);
    const std::wstring wideMode(mode, mode + std::strlen(mode));  // ASCII
    return wide.empty() ? nullptr : _wfopen(wide.c_str(), wideMode.c_str());
}
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

File OpenForRewriting(const std::string& path, bool& inPlace)
{
    inPlace = false;
    // "r+b" neither creates nor empties; a device or a pipe is reopened the
    // usual way, so that it behaves as it always did.
    if (File file{Open(path, "r+b")}) {
        std::uint64_t bytes;
        if (RegularFileSize(file.get(), bytes)) {
            inPlace = true;
            return file;
        }
    }
    return OpenForWriting(path);
}

bool CutToLength(std::FILE* file, std::uint64_t length)
{
    if (std::fflush(file) != 0)
        return false;
#ifdef _WIN32
    return length <= std::uint64_t(INT64_MAX) && _chsize_s(_fileno(file), static_cast<__int64>(length)) == 0;
#else
    return length <= std::uint64_t(std::numeric_limits<off_t>::max()) && ftruncate(fileno(file), off_t(length)) == 0;
#endif
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
