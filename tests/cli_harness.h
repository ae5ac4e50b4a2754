// For the tests that run the built lorvane-cli: scratch folders, runs, test sequences, the texts runs print.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

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
    return Average(compared) + "计算成功！\n" + Summary(compared) + who + "提前结束：只比较了" +
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

// A fresh folder whose name holds a space and Chinese; a run's stdout and stderr go to files beside it.
struct Scratch {
    Scratch() { if (!mkdtemp(dir.data())) throw std::runtime_error("no scratch folder " + dir); }
    ~Scratch() { for (const char* extra : {"", ".out", ".err", ".locale"}) fs::remove_all(dir + extra); }
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
    std::string dir = (fs::temp_directory_path() / "lorvane 测试 XXXXXX").string();
};
