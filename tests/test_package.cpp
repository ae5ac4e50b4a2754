// What the package installs beside the program, against the program itself: the manual page and the bash
// completion list the options --help lists, and the completion offers the values the program takes.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "cli_harness.h"
#include "core/format.h"
#include "core/ssd.h"

using Names = std::set<std::string>;

// The options of lines that start, after the indentation, with "-x" or "--name", and the same after a comma.
Names ListedOptions(const std::string& lines)
{
    Names options;
    const std::regex item(R"(^\s*(-[A-Za-z0-9]|--[A-Za-z0-9][A-Za-z0-9-]*)(,\s*(--[A-Za-z0-9][A-Za-z0-9-]*))?)");
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);)
        if (std::smatch match; std::regex_search(line, match, item))
            for (int group : {1, 3})
                if (match[group].matched)
                    options.insert(match[group]);
    return options;
}

// The lines of the OPTIONS section that name options (those after .TP), without troff's escapes.
std::string ManualOptionLines(const std::string& page)
{
    std::istringstream in(page);
    std::string text;
    bool inOptions = false, afterTp = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(".SH"))
            inOptions = line == ".SH OPTIONS";
        if (inOptions && afterTp)
            text += std::regex_replace(std::regex_replace(line, std::regex(R"(\\f[BIR])"), ""), std::regex(R"(\\-)"), "-") +
                    "\n";
        afterTp = line == ".TP";
    }
    return text;
}

// What bash-completion offers for the command line "lorvane-cli <words>", the cursor at the end of the
// last word, in `folder`.
Names Complete(const std::vector<std::string>& words, const std::string& folder)
{
    const Scratch tools;
    std::string line = "lorvane-cli", array = "lorvane-cli";
    for (const std::string& word : words)
        line += (word == "=" || line.ends_with("=") ? "" : " ") + word, array += " '" + word + "'";
    WriteFile(tools.dir + "/complete.sh",
              "source /usr/share/bash-completion/bash_completion\nsource '" LORVANE_COMPLETION "'\n"
              "COMP_WORDS=(" + array + ")\nCOMP_CWORD=" + std::to_string(words.size()) + "\nCOMP_LINE='" + line +
              "'\nCOMP_POINT=${#COMP_LINE}\n_lorvane_cli\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n");
    const std::string command = "cd '" + folder + "' && bash '" + tools.dir + "/complete.sh' >'" + tools.dir + "/out'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    Names offered;
    std::istringstream in(ReadFile(tools.dir + "/out"));
    for (std::string name; std::getline(in, name);)
        if (!name.empty())
            offered.insert(name);
    return offered;
}

bool HaveBashCompletion() { return fs::exists("/usr/share/bash-completion/bash_completion"); }

TEST(Package, HelpManualPageAndCompletionListTheSameOptions)
{
    const Scratch s;
    const Outcome help = s.Run({"--help"});
    ASSERT_EQ(help.status, 0);
    const Names helpOptions = ListedOptions(help.out);
    ASSERT_TRUE(helpOptions.contains("--size") && helpOptions.contains("--version")) << help.out;

    const std::string page = ReadFile(std::string(LORVANE_MAN_PAGE));
    EXPECT_EQ(ListedOptions(ManualOptionLines(page)), helpOptions) << "lorvane-cli.1 against --help";

    // Every format name the manual page mentions, and nothing else that looks like one.
    Names formats, mentioned;
    for (const lorvane::PixelFormat& format : lorvane::NamedPixelFormats())
        formats.insert(std::string(format.name));
    const std::regex name(R"(\b(gray([0-9]+le)?|yuv[0-9]{3}p[0-9a-z]*|nv[0-9]+|p01[0-9]le|yuyv422|uyvy422)\b)");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), name); it != std::sregex_iterator(); ++it)
        mentioned.insert(it->str());
    EXPECT_EQ(mentioned, formats) << "format names in lorvane-cli.1";

    if (!HaveBashCompletion())
        GTEST_SKIP() << "bash-completion is not installed: the completion's options are not compared";
    EXPECT_EQ(Complete({"-"}, s.dir), helpOptions) << "the completion against --help";
}

TEST(Package, CompletionOffersWhatEachOptionTakes)
{
    if (!HaveBashCompletion())
        GTEST_SKIP() << "bash-completion is not installed";
    const Scratch s;
    WriteFile(s.dir + "/ref.yuv", "");
    WriteFile(s.dir + "/tgt.y4m", "");
    fs::create_directory(U8Path(s.dir + "/sub"));

    Names formats, levels, peaks, yuv44;
    for (const lorvane::PixelFormat& format : lorvane::NamedPixelFormats()) {
        formats.insert(std::string(format.name));
        if (format.name.starts_with("yuv44"))
            yuv44.insert(std::string(format.name));
    }
    for (lorvane::CpuLevel level : {lorvane::CpuLevel::C, lorvane::CpuLevel::Sse2, lorvane::CpuLevel::Avx2,
                                    lorvane::CpuLevel::Avx512})
        levels.insert(lorvane::CpuLevelName(level));
    for (lorvane::PeakKind kind : {lorvane::PeakKind::Full, lorvane::PeakKind::Scaled})
        peaks.insert(lorvane::PeakKindName(kind));
    const Names files = {"ref.yuv", "tgt.y4m", "sub"};

    for (const auto& [words, expected] : std::vector<std::pair<std::vector<std::string>, Names>>{
             {{"-p", ""}, formats},
             {{"-s", "176x144", "--pix-fmt", "yuv44"}, yuv44},
             {{"--cpu", ""}, levels},
             {{"--cpu", "=", "avx"}, {"avx2", "avx512"}},
             {{"--peak", ""}, peaks},
             {{"--size", ""}, {"auto"}},
             {{"-n", ""}, {}},
             {{"--worst", ""}, {}},
             {{"--offset", ""}, {"auto"}},
             {{"--start", ""}, {}},
             {{"--qu"}, {"--quiet"}},
             {{""}, files},
             {{"-s", "auto", "ref.yuv", "t"}, {"tgt.y4m"}},
             {{"-o", ""}, files},
             {{"--report", "r"}, {"ref.yuv"}},
         }) {
        EXPECT_EQ(Complete(words, s.dir), expected) << ::testing::PrintToString(words);
    }
}
