#include "files.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <limits>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
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
std::FILE* OpenNamed(const std::string& path, const char* mode)
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

std::FILE* OpenNamed(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
#endif


}  // namespace

File OpenSequence(const std::string& path)
{
    File file(OpenNamed(path, "rb"));
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
    return File(OpenNamed(path, "wb+"));
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

bool SeekTo(std::FILE* file, std::uint64_t offset)
{
#ifdef _WIN32
    return offset <= std::uint64_t(INT64_MAX) && _fseeki64(file, std::int64_t(offset), SEEK_SET) == 0;
#else
    return offset <= std::uint64_t(std::numeric_limits<off_t>::max()) && fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

std::uint64_t Tell(std::FILE* file)
{
#ifdef _WIN32
    const std::int64_t at = _ftelli64(file);
#else
    const std::int64_t at = ftello(file);
#endif
    return at < 0 ? 0 : std::uint64_t(at);
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

namespace {

// The temporary files a signal handler removes. Fixed storage, claimed and
// released through lock-free atomics: a handler may run at any moment, also
// while another thread is adding a file.
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
constexpr int kTemporarySlots = 16;
constexpr std::size_t kTemporaryPathChars = 4096;
enum SlotState : int { kFree, kClaimed, kReady };
struct TemporarySlot {
    std::atomic<int> state{kFree};
    NativeChar path[kTemporaryPathChars];
};
TemporarySlot g_temporaries[kTemporarySlots];

// -1 when the path does not fit or every slot is taken: the file is then
// still removed by Discard, only not on a signal.
int RememberTemporary(const std::string& path)
{
#ifdef _WIN32
    const std::wstring native = WidePath(path);
#else
    const std::string& native = path;
#endif
    if (native.empty() || native.size() >= kTemporaryPathChars)
        return -1;
    for (int i = 0; i < kTemporarySlots; ++i) {
        int expected = kFree;
        if (g_temporaries[i].state.compare_exchange_strong(expected, kClaimed)) {
            std::copy(native.begin(), native.end(), g_temporaries[i].path);
            g_temporaries[i].path[native.size()] = 0;
            g_temporaries[i].state.store(kReady);
            return i;
        }
    }
    return -1;
}

void ForgetTemporary(int slot)
{
    if (slot >= 0)
        g_temporaries[slot].state.store(kFree);
}

extern "C" void RemoveTemporariesAndStop(int signal)
{
    for (TemporarySlot& slot : g_temporaries)
        if (slot.state.load() == kReady)
#ifdef _WIN32
            _wunlink(slot.path);
#else
            unlink(slot.path);
#endif
    // Ended as the signal would have ended it without the handler.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

bool RemoveFile(const std::string& path)
{
#ifdef _WIN32
    const std::wstring wide = WidePath(path);
    return !wide.empty() && _wunlink(wide.c_str()) == 0;
#else
    return unlink(path.c_str()) == 0;
#endif
}

// A name for a temporary file beside `destination`, hidden on Unix; the
// suffix differs between processes and between the files of one process.
std::string TemporaryName(const std::string& destination, unsigned attempt)
{
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const unsigned long long process = GetCurrentProcessId();
#else
    const unsigned long long process = static_cast<unsigned long long>(getpid());
#endif
    const unsigned long long clock =
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".lorvane-%llx-%x-%llx.tmp", process, counter++ + attempt,
                  clock & 0xffffffULL);
    const std::size_t slash = destination.find_last_of(
#ifdef _WIN32
        "/\\"
#else
        "/"
#endif
    );
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return destination.substr(0, nameStart) + "." + destination.substr(nameStart) + suffix;
}

#ifndef _WIN32
// The file a chain of symbolic links ends at (the path itself when it is no
// link), so that the link stays and its target gets the new content.
std::string FollowLinks(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        std::string target(std::size_t(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || std::size_t(length) >= target.size())
            return path;
        target.resize(std::size_t(length));
        if (target.front() != '/') {
            const std::size_t slash = path.find_last_of('/');
            if (slash != std::string::npos)
                target = path.substr(0, slash + 1) + target;
        }
        path = target;
    }
    return path;
}

bool IsNullDevice(const struct stat& info)
{
    struct stat null;
    return S_ISCHR(info.st_mode) && stat("/dev/null", &null) == 0 && null.st_rdev == info.st_rdev;
}
#endif

bool IsNullDevice(const std::string& path)
{
#ifdef _WIN32
    std::string upper = path;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return upper == "NUL" || upper == "\\\\.\\NUL";
#else
    struct stat info;
    return stat(path.c_str(), &info) == 0 && IsNullDevice(info);
#endif
}

// What stands at an output path now.
struct PathState {
    bool exists = false;
    bool directory = false;
    bool regular = false;
    bool writable = false;
    unsigned mode = 0;  // permission bits
};

PathState StateOf(const std::string& path)
{
    PathState state;
#ifdef _WIN32
    if (IsNullDevice(path)) {
        state.exists = state.writable = true;
        return state;
    }
    const std::wstring wide = WidePath(path);
    struct _stat64 info;
    if (wide.empty() || _wstat64(wide.c_str(), &info) != 0)
        return state;
    state.writable = (info.st_mode & _S_IWRITE) != 0;
    state.directory = (info.st_mode & _S_IFDIR) != 0;
    state.regular = (info.st_mode & _S_IFREG) != 0;
#else
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return state;
    state.writable = access(path.c_str(), W_OK) == 0;
    state.directory = S_ISDIR(info.st_mode);
    state.regular = S_ISREG(info.st_mode);
#endif
    state.exists = true;
    state.mode = unsigned(info.st_mode) & 07777;
    return state;
}

// Creates `path`, which must not exist yet, for binary writing: with the
// permission bits of `like` when given, else as any new file gets them (0666
// less the umask). Null, with `taken` set when the name was in use.
std::FILE* CreateNew(const std::string& path, const PathState* like, bool& taken)
{
#ifdef _WIN32
    (void)like;  // a new file is writable; a read-only one was refused before
    const std::wstring wide = WidePath(path);
    const int fd = wide.empty() ? -1 : _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 && like)
        fchmod(fd, like->mode);
#endif
    if (fd < 0) {
        taken = errno == EEXIST;
        return nullptr;
    }
#ifdef _WIN32
    std::FILE* file = _fdopen(fd, "wb");
    if (!file)
        _close(fd);
#else
    std::FILE* file = fdopen(fd, "wb");
    if (!file)
        close(fd);
#endif
    if (!file)
        RemoveFile(path);
    return file;
}

}  // namespace

bool OutputFile::Open(const std::string& path)
{
    Discard();
    failed_ = false;
    staged_ = false;
    opened_ = OpenStream(path);
    return opened_;
}

bool OutputFile::OpenStream(const std::string& path)
{
    if (toStdout_) {
        stream_ = stdout;
        return true;
    }
#ifdef _WIN32
    destination_ = path;
#else
    destination_ = FollowLinks(path);
#endif
    const PathState state = StateOf(destination_);
    if (state.directory)
        return false;
    if (state.exists && !state.regular) {
        // Write-only: a FIFO then waits for its reader instead of taking the
        // bytes into a pipe nobody reads.
        stream_ = OpenNamed(destination_, "wb");
        return stream_ != nullptr;
    }
    // A file this process may not write stays protected, as it was when it
    // was opened for writing.
    if (state.exists && !state.writable)
        return false;
    for (unsigned attempt = 0; attempt < 100 && !stream_; ++attempt) {
        const std::string temporary = TemporaryName(destination_, attempt);
        bool taken = false;
        stream_ = CreateNew(temporary, state.exists ? &state : nullptr, taken);
        if (stream_)
            temporary_ = temporary;
        else if (!taken)
            break;
    }
    if (!stream_) {
        // No temporary file beside it (a folder this process may not write
        // into): an existing file it may write is written in place instead.
        if (!state.exists)
            return false;
        stream_ = OpenNamed(destination_, "wb");
        return stream_ != nullptr;
    }
    staged_ = true;
    slot_ = RememberTemporary(temporary_);
    return true;
}

void OutputFile::Write(std::string_view text)
{
    if (!stream_ || failed_ || text.empty())
        return;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size())
        failed_ = true;
}

bool OutputFile::Finish()
{
    if (!stream_)
        return !failed_;
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    // A close can be where a full disk or a network file system reports the loss.
    if (stream_ != stdout)
        ok = std::fclose(stream_) == 0 && ok;
    stream_ = nullptr;
    failed_ = failed_ || !ok;
    return !failed_;
}

bool OutputFile::Commit()
{
    if (stream_)
        Finish();
    if (failed_) {
        Discard();
        return false;
    }
    if (temporary_.empty())
        return true;
#ifdef _WIN32
    const std::wstring from = WidePath(temporary_), to = WidePath(destination_);
    const bool moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    const bool moved = std::rename(temporary_.c_str(), destination_.c_str()) == 0;
#endif
    if (!moved) {
        failed_ = true;
        Discard();
        return false;
    }
    ForgetTemporary(slot_);
    slot_ = -1;
    temporary_.clear();
    return true;
}

void OutputFile::Discard()
{
    if (stream_ && stream_ != stdout)
        std::fclose(stream_);
    stream_ = nullptr;
    if (!temporary_.empty()) {
        RemoveFile(temporary_);
        ForgetTemporary(slot_);
        slot_ = -1;
        temporary_.clear();
    }
}

void RemoveTemporaryFilesOnSignals()
{
#ifdef _WIN32
    for (int signal : {SIGINT, SIGTERM})
        std::signal(signal, RemoveTemporariesAndStop);
#else
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction action {}, previous {};
        // A signal ignored at start (nohup, a background job) stays ignored.
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = RemoveTemporariesAndStop;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
    // Past a file-size limit a write then fails (EFBIG) and is reported,
    // instead of the process ending with its temporary files left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool NamesStandardOutput(const std::string& path)
{
    if (path == "-")
        return true;
#ifdef _WIN32
    FileId named, out;
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return !IsNullDevice(path) && IdOfPath(path, named) && IdOfHandle(handle, out) && named == out;
#else
    if (path == "/dev/stdout" || path == "/dev/fd/1" || path == "/proc/self/fd/1")
        return true;
    struct stat named, out;
    return stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &out) == 0 && named.st_dev == out.st_dev &&
           named.st_ino == out.st_ino && !IsNullDevice(named);
#endif
}

bool SameOutputFile(const std::string& a, const std::string& b)
{
    FileId x, y;
    const bool knownA = IdOfPath(a, x), knownB = IdOfPath(b, y);
    if (knownA || knownB)
        return knownA && knownB && x == y && !IsNullDevice(a);
    // Names not yet taken: the same place once links to them (which point to
    // nothing yet), "..", "." and linked folders are resolved.
#ifdef _WIN32
    const std::string& da = a;
    const std::string& db = b;
#else
    const std::string da = FollowLinks(a), db = FollowLinks(b);
#endif
    std::error_code error;
    const std::filesystem::path pa = std::filesystem::weakly_canonical(std::filesystem::absolute(FilesystemPath(da), error), error);
    const std::filesystem::path pb = std::filesystem::weakly_canonical(std::filesystem::absolute(FilesystemPath(db), error), error);
#ifdef _WIN32
    std::wstring sa = pa.wstring(), sb = pb.wstring();
    for (std::wstring* s : {&sa, &sb})
        for (wchar_t& c : *s)
            c = c < 128 ? wchar_t(std::tolower(int(c))) : c;
    return !sa.empty() && sa == sb;
#else
    return !pa.empty() && pa == pb;
#endif
}

}  // namespace lorvane
