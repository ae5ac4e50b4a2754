// For the tests that run the built lorvane-cli: scratch folders, runs, test sequences, the texts runs print.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "portable.h"

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
inline std::string ReadFile(const std::string& utf8) { return ReadFile(U8Path(utf8)); }
inline void WriteFile(const std::string& utf8, const std::string& bytes) { WriteFile(U8Path(utf8), bytes); }

// `count` frames; a target's luma is one above a reference's, its chroma equal: Y 48.130804 dB, U and V 100.
inline std::string Frames(int width, int height, int count, bool target)
{
    std::string bytes;
    for (int f = 0, luma = width * height; f < count; ++f)
        for (int i = 0; i < luma * 3 / 2; ++i)
            bytes.push_back(char((i * 7 + f * 13) % 200 + (target && i < luma)));
    return bytes;
}

inline std::string Values(int frames) { return frames ? "48.130804,100.000000,100.000000" : "nan,nan,nan"; }
inline std::string Average(int frames) { return "Average," + Values(frames) + "\n"; }
inline std::string Summary(int frames)
{
    const std::string y = frames ? "48.130804" : "nan", uv = frames ? "100.000000" : "nan";
    return "共计" + std::to_string(frames) + "帧，平均PSNR如下：\nPSNR_Y: " + y + "\nPSNR_U: " + uv + "\nPSNR_V: " + uv + "\n";
}
inline std::string ResultFile(int frames)
{
    std::string text = "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n";
    for (int i = 0; i < frames; ++i)
        text += " " + std::to_string(i) + "," + Values(1) + "\r\n";
    return text + "Average," + Values(frames) + "\r\n";
}
// A run that ended before `asked` frames; `who` names the sequence ("目标序列 <path> ").
inline std::string EndedEarly(int compared, int asked, const std::string& who)
{
    return Average(compared) + "计算未完成！\n" + Summary(compared) + who + "提前结束：只比较了" +
           std::to_string(compared) + "帧，要求" + std::to_string(asked) + "帧。\n";
}
// The warning about a file that is not a whole number of frames.
inline std::string Ragged(const std::string& who, long bytes, const std::string& size, long frame)
{
    return "警告!\n" + who + " 的大小 " + std::to_string(bytes) + " 字节不是整数帧：" + size + " 的一帧是 " +
           std::to_string(frame) + " 字节，末尾多出 " + std::to_string(bytes % frame) + " 字节。\n请确认图像宽高是否正确。\n";
}
inline std::string Usage(const std::string& why) { return "lorvane-cli：" + why + "\n请运行 lorvane-cli --help 查看用法。\n"; }

struct Outcome { int status; std::string out, err; };

#ifdef _WIN32
// Why a case cannot run on Windows, or "" when it can; `text` is everything the case hands the shell.
inline std::string NotOnWindows(const std::string& text)
{
    if (text.find("/dev/") != std::string::npos)
        return "names a Unix device (/dev/null, /dev/zero, /dev/full, /dev/stdin); Windows has none of them";
    if (text.find("LC_ALL=") != std::string::npos)
        return "sets a POSIX locale through the environment, which Windows programs do not read";
    if (text.find("ulimit") != std::string::npos || text.find("timeout -s") != std::string::npos)
        return "sets a resource limit or sends a signal through a POSIX shell";
    if (text.find("mkfifo") != std::string::npos)
        return "makes a FIFO with mkfifo and feeds it from a POSIX shell; Windows has neither";
    if (text.find("link-") != std::string::npos)
        return "needs a symbolic link, which MinGW's std::filesystem cannot create";
    return "";
}

inline std::wstring Wide(const std::string& utf8) { return U8Path(utf8).wstring(); }

// One argument as CommandLineToArgvW reads it back: quoted, with the backslashes before a quote doubled.
inline std::wstring Quoted(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        for (; i < argument.size() && argument[i] == L'\\'; ++i)
            ++backslashes;
        if (i == argument.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        quoted.append(argument[i] == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += argument[i];
    }
    return quoted + L"\"";
}

// lorvane-cli.exe lies beside the test program (the build puts every program in one folder).
inline std::wstring CliPath()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"lorvane-cli.exe";
}
#endif

// A fresh folder whose name holds a space, Chinese, Japanese, Korean and an emoji; a run's stdout and stderr
// go to files beside it.
struct Scratch {
    ~Scratch() { for (const char* extra : {"", ".out", ".err", ".locale"}) fs::remove_all(U8Path(dir + extra)); }
#ifdef _WIN32
    // lorvane-cli <args> with no shell; stopped after a minute. Of the shell texts only a leading
    // "cd '<folder>' && " can be had here (as the working folder): any other is an error in the test.
    Outcome Run(const std::vector<std::string>& args, const std::string& prefix = "", const std::string& redirect = "") const
    {
        std::string folder;
        if (prefix.starts_with("cd '") && prefix.ends_with("' && "))
            folder = prefix.substr(4, prefix.size() - 9);
        else if (!prefix.empty() || !redirect.empty())
            throw std::logic_error("no shell on Windows for: " + prefix + " ... " + redirect);
        const std::wstring cli = CliPath();
        std::wstring command = Quoted(cli);
        for (const std::string& arg : args)
            command += L" " + Quoted(Wide(arg));
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const auto open = [&](const std::wstring& path, DWORD access, DWORD disposition) {
            return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        // Wine now and then fails to start a process on a loaded machine: a
        // second try is not a second run, since the first never began.
        PROCESS_INFORMATION process{};
        BOOL started = FALSE;
        for (int attempt = 0; attempt < 3 && !started; ++attempt) {
            if (attempt > 0)
                Sleep(500);
            const HANDLE in = open(L"NUL", GENERIC_READ, OPEN_EXISTING),
                         out = open(Wide(dir + ".out"), GENERIC_WRITE, CREATE_ALWAYS),
                         err = open(Wide(dir + ".err"), GENERIC_WRITE, CREATE_ALWAYS);
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = in, startup.hStdOutput = out, startup.hStdError = err;
            const std::wstring where = Wide(folder);
            started = CreateProcessW(cli.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                     folder.empty() ? nullptr : where.c_str(), &startup, &process);
            for (HANDLE handle : {in, out, err})
                CloseHandle(handle);
        }
        if (!started)
            throw std::runtime_error("cannot start lorvane-cli.exe beside the test program");
        int status = -1;  // as for a run the timeout stopped
        DWORD code = 0;
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 1), WaitForSingleObject(process.hProcess, INFINITE);
        else if (GetExitCodeProcess(process.hProcess, &code))
            status = int(code);
        CloseHandle(process.hThread), CloseHandle(process.hProcess);
        return {status, ReadFile(dir + ".out"), ReadFile(dir + ".err")};
    }
#else
    // ( <prefix> lorvane-cli <args, each quoted> <redirect> ), stopped after a minute.
    Outcome Run(const std::vector<std::string>& args, const std::string& prefix = "", const std::string& redirect = "") const
    {
        std::string command = "(" + prefix + "timeout 60 '" LORVANE_CLI "'";
        for (const std::string& arg : args)
            command += " '" + arg + "'";
        command += " " + redirect + ") >'" + dir + ".out' 2>'" + dir + ".err'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir + ".out"), ReadFile(dir + ".err")};
    }
#endif
    std::string dir = MakeScratchFolder("lorvane 测试 テスト 시험 🎞 ");
};
