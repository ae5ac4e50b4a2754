// Paths through the core's file functions and the built lorvane-cli: names in any script, and the
// spellings Windows reads as one file (another letter case, either slash, a trailing dot), which are
// other names on Linux. Each platform is held to its own answer; under Wine these test the Windows build.
#include <gtest/gtest.h>

#include <cstdio>

#include "cli_harness.h"
#include "core/files.h"

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

TEST(Paths, NamesInAnyScriptWorkEndToEnd)
{
    const Scratch s;
    for (const std::string name : {"参考序列", "テスト動画", "참조 영상", "🎞️ clip"}) {
        const std::string ref = s.dir + "/" + name + " ref.yuv", tgt = s.dir + "/" + name + " tgt.yuv",
                          result = s.dir + "/" + name + " 结果.txt", missing = s.dir + "/" + name + " 无.yuv";
        {
            const lorvane::File out = lorvane::OpenForWriting(ref);
            ASSERT_TRUE(out) << name;
            const std::string bytes = Frames(16, 8, 3, false);
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out.get()), bytes.size());
        }
        // Read back by another route: the file has the name it was given, not some code page's version of it.
        EXPECT_EQ(ReadFile(ref), Frames(16, 8, 3, false)) << name;
        WriteFile(tgt, Frames(16, 8, 3, true));
        {
            const lorvane::File in = lorvane::OpenSequence(ref);
            std::uint64_t bytes = 0;
            ASSERT_TRUE(in && lorvane::RegularFileSize(in.get(), bytes)) << name;
            EXPECT_EQ(bytes, 576u);
            EXPECT_TRUE(lorvane::SameFile(ref, in.get())) << name;
            EXPECT_FALSE(lorvane::SameFile(tgt, in.get())) << name;
            EXPECT_FALSE(lorvane::OpenSequence(missing)) << name;
        }

        const Outcome run = s.Run({"-s", "16x8", "-o", result, ref, tgt});
        EXPECT_EQ(run.status, 0) << name;
        EXPECT_EQ(run.out, Summary(3)) << name;
        EXPECT_EQ(run.err, Average(3)) << name;
        EXPECT_EQ(ReadFile(result), ResultFile(3)) << name;  // CR LF once
        const Outcome refused = s.Run({"-s", "16x8", "-n", "3", missing, tgt});
        EXPECT_EQ(refused.status, 1) << name;
        EXPECT_EQ(refused.err, "打开文件错误!\n不能打开 " + missing + "!\n请确认路径是否正确！\n") << name;
    }
}

// Run in the sequences' folder with each spelling as the result path: on Windows refused as that
// sequence, both untouched; on Linux a new file of that name gets the result.
TEST(Paths, SpellingsWindowsReadsAsOneFile)
{
    const Scratch s;
    const std::string ref = Frames(16, 8, 3, false), tgt = Frames(16, 8, 3, true);
    WriteFile(s.dir + "/ref.yuv", ref);
    WriteFile(s.dir + "/tgt.yuv", tgt);
    fs::create_directory(U8Path(s.dir + "/sub"));
    for (const auto& [spelling, who] : std::vector<std::pair<std::string, std::string>>{
             {"REF.YUV", "源参考序列"},
             {"Tgt.Yuv", "目标序列"},
             {"ref.yuv.", "源参考序列"},
             {"sub/..\\tgt.yuv", "目标序列"},
             {"sub/..\\.\\REF.yuv.", "源参考序列"},
         }) {
        // The core alone, by an absolute spelling with the separators of the folder flipped too.
        std::string absolute = s.dir + "\\" + spelling;
        if (kWindows)
            for (char& c : absolute)
                c = c == '\\' ? '/' : c == '/' ? '\\' : c;
        const lorvane::File open = lorvane::OpenSequence(s.dir + (who == "目标序列" ? "/tgt.yuv" : "/ref.yuv"));
        ASSERT_TRUE(open);
        EXPECT_EQ(lorvane::SameFile(absolute, open.get()), kWindows) << absolute;
        EXPECT_EQ(lorvane::SameFile(absolute, s.dir + "/tgt.yuv"), kWindows && who == "目标序列") << absolute;

        const Outcome run = s.Run({"-s", "16x8", "-o", spelling, "ref.yuv", "tgt.yuv"}, "cd '" + s.dir + "' && ");
        if (kWindows) {
            EXPECT_EQ(run.status, 1) << spelling;
            EXPECT_EQ(run.err, "打开文件错误!\n结果保存文件 " + spelling + " 就是" + who + "!\n请另选结果保存文件！\n");
        } else {
            EXPECT_EQ(run.status, 0) << spelling;
            EXPECT_EQ(ReadFile(s.dir + "/" + spelling), ResultFile(3)) << spelling;
        }
        EXPECT_EQ(ReadFile(s.dir + "/ref.yuv"), ref) << spelling;
        EXPECT_EQ(ReadFile(s.dir + "/tgt.yuv"), tgt) << spelling;
    }
}
