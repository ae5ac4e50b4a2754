// Bad input through the built lorvane-cli, a row per case: exact messages and exit status, and every file
// there before the run byte-identical afterwards. In a row "$D" is the case's folder (a space and Chinese in
// its name), "$R" and "$T" ref.yuv and tgt.yuv in it: three 16x8 frames (192 bytes) each.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "cli_harness.h"

using S = std::string;
S CannotOpen(const S& p, const S& gap = "") { return "打开文件错误!\n不能打开 " + p + "!" + gap + "请确认路径是否正确！\n"; }
S IsSequence(const S& p, const S& who) { return "打开文件错误!\n结果保存文件 " + p + " 就是" + who + "!\n请另选结果保存文件！\n"; }
S BadSize(const S& t) { return Usage("图像宽高 \"" + t + "\" 无效：应写成 宽x高，两个都是 32 位整数，例如 176x144。"); }
S BadCount(const S& t) { return Usage("帧数 \"" + t + "\" 无效：应为 32 位整数。"); }
S BadY4m(const S& who, const S& why) { return "错误!\n" + who + " 不是有效的 YUV4MPEG2 文件：" + why + "\n"; }
// A file that starts as an encoded one but is none: what FFmpeg's libraries
// could not find in it (`why`). Without them it is refused for what it looks like.
const S kCannotOpen = " 无法作为视频文件打开：它的内容不完整或已损坏。";
const S kNoVideo = " 没有视频流，无法测量。";
const S kNoPicture = " 的视频流读不出图像宽高和像素格式：文件不完整或已损坏。";
#ifdef LORVANE_HAVE_FFMPEG
S Undecodable(const S& who, const S&, const S& why) { return "错误!\n" + who + why + "\n"; }
#else
S Undecodable(const S& who, const S& kind, const S&)
{
    return "错误!\n" + who + " 是 " + kind + " 文件，不是 YUV 序列：请先解码为 YUV 文件。这个版本的 Lorvane 不能解码视频文件。\n";
}
#endif
S NoWholeFrame(const S& who, int bytes) { return who + " 没有一个完整帧：文件大小 " + std::to_string(bytes) + " 字节，16x8 的一帧是 192 字节。\n"; }
S Damaged(const S& who, const S& what, int frames, int leftover)
{
    return "警告!\n" + who + " " + what + "：有 " + std::to_string(frames) + " 个完整帧，其后多出 " + std::to_string(leftover) +
           " 字节。\nYUV4MPEG2 文件不完整，可能已损坏。\n";
}
S Lengths(const S& reference, int r, const S& target, int t)
{
    return "源参考序列 " + reference + " 有 " + std::to_string(r) + " 帧，目标序列 " + target + " 有 " + std::to_string(t) +
           " 帧：比较前 " + std::to_string(std::min(r, t)) + " 帧。\n";
}
// `samples` 10-bit samples, two bytes each, little-endian.
S TenBit(int samples)
{
    S bytes;
    for (int i = 0; i < samples; ++i)
        bytes += {char(i * 37 % 1024 & 255), char(i * 37 % 1024 >> 8)};
    return bytes;
}
// Frames of 192 bytes, each after its FRAME line: "FRAME\n", or for frame 1 `badSecondLine`, or the lines given.
S Y4m(const S& header, const S& frames, const S& badSecondLine = "FRAME\n", std::vector<S> lines = {})
{
    S text = header;
    for (std::size_t f = 0; f < frames.size() / 192; ++f)
        text += (f < lines.size() ? lines[f] : f == 1 ? badSecondLine : "FRAME\n") + frames.substr(f * 192, 192);
    return text;
}
// A string literal's bytes, NULs included.
template <std::size_t N> S Bytes(const char (&text)[N]) { return S(text, N - 1); }
// An RD file of sequence `name`: four points, the third of quality `third`.
S Rd(const S& name, const S& third)
{
    return "Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y\n" + name + ",x,e0,3,100,30\n" + name + ",x,e1,3,200,33\n" +
           name + ",x,e2,3,400," + third + "\n" + name + ",x,e3,3,800,39\n";
}
S BdUsage(const S& why) { return "lorvane-cli bd：" + why + "\n请运行 lorvane-cli bd --help 查看用法。\n"; }
// The first bytes of encoded files, padded to 600 bytes with what follows such a header.
S Padded(S head) { head.resize(600, '\x5A'); return head; }
S TsPackets()
{
    S ts;
    for (int p = 0; p < 4; ++p)
        ts += "\x47\x40" + S(1, char(p ? 0x00 : 0x11)) + "\x10" + S(184, '\xFF');
    return ts;
}
S Unsupported(const S& path, const S& word)
{
    return Usage("文件名 " + path + " 中的 " + word + " 是不支持的像素格式，不会当作 8 位读取。请用 -p 给出文件的格式。");
}
// The first frame of `who` holds a sample above what a 10-bit format allows: an error when the format was
// guessed, a warning when it was given.
S Belied(const S& who, int largest, bool guessed)
{
    const S finding = who + " 不是 yuv420p10le 格式：第0帧中最大的样本值是 " + std::to_string(largest) +
                      "，超过了 10 位的最大值 1023。\n";
    return guessed ? "错误!\n" + finding + "这个格式是推断出来的：请用 -p 给出文件真正的格式。\n"
                   : "警告!\n看来" + finding + "样本按原值计算。\n";
}
// A file of three 15x9 frames as ffmpeg writes them (chroma 8x5), read in the classic layout (chroma 7x4).
S OddSize(const S& who)
{
    return "警告!\n" + who + " $D/odd.yuv 的大小 645 字节不是整数帧：15x9 的一帧是 202 字节，末尾多出 39 字节。\n"
           "按色度宽高向上取整的布局（ffmpeg 写出奇数宽高时用的布局，一帧 215 字节）算，它正好是 3 帧：若是这样，"
           "请用 -p yuv420p 读取。\n";
}
// A sequence compared with itself.
S Identical(int frames)
{
    return "共计" + std::to_string(frames) + "帧，平均PSNR如下：\nPSNR_Y: 100.000000\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n";
}
const S kAverageIdentical = "Average,100.000000,100.000000,100.000000\n";
const S kOutOfRange =
    "错误!\n图像宽高或帧数超出范围！\n宽度、高度和帧数应在 0 到 1000000000 之间，且宽度×高度不超过 429496729。\n";

struct Case {
    S name, args;        // the arguments are split at spaces, then "$D", "$R", "$T" replaced
    int status;
    S out, err;          // standard output and standard error, exactly
    int frames = -1;     // the frame lines of the $D/out.txt the run writes; -1: none is written
    S prefix = "", redirect = "";  // shell text before and after the command
};

const std::vector<Case> kCases = {
    // Files that are not there, or are folders. An existing result file stays as it was.
    {"missing_reference", "-s 16x8 -n 3 -o $D/old.txt $D/missing.yuv $T", 1, "", CannotOpen("$D/missing.yuv", "\n")},
    {"reference_is_a_folder", "-s 16x8 -n 3 $D/folder $T", 1, "", CannotOpen("$D/folder", "\n")},
    {"target_is_a_folder_without_n", "-s 16x8 -o $D/old.txt $R $D/folder", 1, "", CannotOpen("$D/folder")},
    {"result_is_a_folder", "-s 16x8 -o $D/folder $R $T", 1, "", CannotOpen("$D/folder")},
    {"result_in_a_missing_folder", "-s 16x8 -o $D/no/out.txt $R $T", 1, "", CannotOpen("$D/no/out.txt")},
    // Too little data: the frames there are the run; fewer than asked is exit 1.
    {"empty_reference", "-s 16x8 -n 3 -o $D/out.txt $D/empty.yuv $T", 1, "",
     EndedEarly(0, 3, "源参考序列 $D/empty.yuv "), 0},
    {"shorter_than_one_frame", "-s 16x8 -n 2 $R $D/tiny.yuv", 1, "",
     Ragged("目标序列 $D/tiny.yuv", 100, "16x8", 192) + EndedEarly(0, 2, "目标序列 $D/tiny.yuv ")},
    {"not_whole_frames", "-s 16x8 -n 3 -o $D/out.txt $R $D/ragged.yuv", 1, "",
     Ragged("目标序列 $D/ragged.yuv", 434, "16x8", 192) + EndedEarly(2, 3, "目标序列 $D/ragged.yuv "), 2},
    // Devices need -n; an endless one stops where the other sequence ends.
    {"dev_null_reference", "-s 16x8 -n 2 /dev/null $T", 1, "", EndedEarly(0, 2, "源参考序列 /dev/null ")},
    {"dev_zero_without_n", "-s 16x8 $R /dev/zero", 2, "",
     Usage("目标序列 /dev/zero 不是普通文件，无法得知帧数：请用 -n 给出要比较的帧数。")},
    {"dev_zero_target_largest_count", "-s 16x8 -n 1000000000 $R /dev/zero", 1, "",
     "Average,7.244826,6.932294,6.677737\n计算未完成！\n共计3帧，平均PSNR如下：\nPSNR_Y: 7.244826\nPSNR_U: 6.932294\n"
     "PSNR_V: 6.677737\n源参考序列 $R 提前结束：只比较了3帧，要求1000000000帧。\n"},
    // Sizes and frame counts out of range: refused before any file is opened.
    {"zero_width", "-s 0x144 -o $D/old.txt $R $T", 1, "", "错误!\n请正确输入图像宽高！\n"},
    {"negative_width", "-s -5x10 -n 1 $R $T", 1, "", kOutOfRange},
    {"area_overflows_32_bits", "-s 46341x46341 -n 1 -o $D/old.txt $R $T", 1, "", kOutOfRange},
    {"area_overflows_32_bits_with_ms_ssim", "-s 46341x46341 -n 1 -m ms-ssim -o $D/old.txt $R $T", 1, "", kOutOfRange},
    {"huge_size_small_files", "-s 20000x20000 -n 1 $R $T", 1, "",
     Ragged("源参考序列 $R", 576, "20000x20000", 600000000) + Ragged("目标序列 $T", 576, "20000x20000", 600000000) +
         EndedEarly(0, 1, "源参考序列 $R 和目标序列 $T 都")},
    {"width_overflows_int", "-s 2147483648x1 $R $T", 2, "", BadSize("2147483648x1")},
    {"frames_zero", "-s 16x8 -n 0 -o $D/out.txt $R $T", 1, Summary(0),
     Average(0) + "警告!\n没有比较任何帧（要求0帧）：平均值无从计算。\n", 0},
    {"frames_negative", "-s 16x8 -n -1 -o $D/old.txt $R $T", 1, "", kOutOfRange},
    {"frames_above_limit", "-s 16x8 -n 1000000001 $R $T", 1, "", kOutOfRange},
    // Planes too small for a metric's window: SSIM has no value, as PSNR has
    // none for an empty plane; MS-SSIM's five scales refuse a small luma plane.
    {"ssim_without_a_whole_window", "-s 16x4 -p gray -n 2 -m ssim $R $R", 0,
     "共计2帧，平均PSNR如下：\nPSNR_Y: 100.000000\nPSNR_U: nan\nPSNR_V: nan\n"
     "SSIM_Y: nan\nSSIM_U: nan\nSSIM_V: nan\nSSIM: nan\n",
     "Average,100.000000,nan,nan\n"},
    {"ms_ssim_luma_too_small", "-s 16x8 -m ms-ssim -o $D/old.txt $R $T", 2, "",
     "lorvane-cli：图像 16x8 的亮度平面（Y）小于 176x176：指标 ms-ssim 要求亮度平面宽高都至少为 176。\n"
     "请运行 lorvane-cli --help 查看用法。\n"},
    {"frames_overflow_int", "-s 16x8 -n 2147483648 $R $T", 2, "", BadCount("2147483648")},
    // Text that is not a number.
    {"size_is_text", "-s abc -o $D/out.txt $R $T", 2, "", BadSize("abc")},
    {"frames_is_a_fraction", "-s 16x8 -n 2.5 $R $T", 2, "", BadCount("2.5")},
    // A result path that is a sequence by another spelling: refused, both untouched.
    {"result_is_reference_by_relative_path", "-s 16x8 -o ref.yuv $R $T", 1, "", IsSequence("ref.yuv", "源参考序列"), -1,
     "cd '$D' && "},
    {"result_is_target_by_dotdot", "-s 16x8 -o $D/folder/../tgt.yuv $R $T", 1, "",
     IsSequence("$D/folder/../tgt.yuv", "目标序列")},
    {"result_is_reference_by_symlink", "-s 16x8 -o $D/link-ref $R $T", 1, "", IsSequence("$D/link-ref", "源参考序列")},
    {"result_is_target_by_hard_link", "-s 16x8 -o $D/hard-tgt $R $T", 1, "", IsSequence("$D/hard-tgt", "目标序列")},
    // Output that cannot be written is a failure, never a success.
    {"result_on_full_disk", "-s 16x8 -o /dev/full $R $T", 1, "",
     Average(3) + "写入文件错误!\n写入结果文件 /dev/full 时出错!\n结果文件不完整，请检查磁盘空间后重新计算！\n"},
    {"summary_on_full_disk", "-s 16x8 $R $T", 1, "", Average(3) + "错误!\n写入标准输出时出错，摘要不完整！\n", -1, "",
     ">/dev/full"},
    // Formats, YUV4MPEG2 headers, names and the new outputs.
    {"unknown_pixel_format", "-s 16x8 -p yuv411p $R $T", 2, "", Usage("未知的像素格式 \"yuv411p\"：可用的格式有 gray, yuv420p, "
     "yuv422p, yuv440p, yuv444p, gray9le, gray10le, gray12le, gray14le, gray16le, yuv420p9le, yuv420p10le, yuv420p12le, "
     "yuv420p14le, yuv420p16le, yuv422p9le, yuv422p10le, yuv422p12le, yuv422p14le, yuv422p16le, yuv440p10le, yuv440p12le, "
     "yuv444p9le, yuv444p10le, yuv444p12le, yuv444p14le, yuv444p16le, nv12, nv21, p010le, p016le, yuyv422, uyvy422。")},
    {"unknown_peak", "-s 16x8 --peak max $R $T", 2, "", Usage("未知的峰值 \"max\"：应为 full 或 scaled。")},
    {"y4m_header_too_long", "-o $D/old.txt $D/long.y4m $T", 1, "", BadY4m("源参考序列 $D/long.y4m", "文件头过长（超过 1024 字节）。")},
    {"y4m_header_cut_short", "-s 16x8 -n 1 $R $D/cut.y4m", 1, "", BadY4m("目标序列 $D/cut.y4m", "文件头不完整：没有以换行结束。")},
    {"y4m_without_height", "$D/noh.y4m $T", 1, "", BadY4m("源参考序列 $D/noh.y4m", "文件头缺少高度 H。")},
    {"y4m_negative_width", "-o $D/old.txt $T $D/wneg.y4m", 1, "", BadY4m("目标序列 $D/wneg.y4m", "文件头中的宽度 W-4 无效。")},
    {"y4m_width_is_text", "$D/wabc.y4m $T", 1, "", BadY4m("源参考序列 $D/wabc.y4m", "文件头中的宽度 Wabc 无效。")},
    {"y4m_width_zero", "$D/w0.y4m $T", 1, "", BadY4m("源参考序列 $D/w0.y4m", "文件头中的图像宽高 0x8 超出范围：宽度和高度应在 "
     "1 到 1000000000 之间，且宽度×高度不超过 429496729。")},
    // Control characters from a file are shown, not sent to the terminal.
    {"y4m_header_with_crlf", "$D/crlf.y4m $T", 1, "", BadY4m("源参考序列 $D/crlf.y4m", "文件头中的高度 H8\\r 无效。")},
    {"y4m_chroma_with_control_bytes", "$D/cesc.y4m $T", 1, "",
     BadY4m("源参考序列 $D/cesc.y4m", "不支持的色度格式 C420\\x1B[31m\\0\\n？。")},
    {"y4m_unsupported_chroma", "$D/c411.y4m $T", 1, "", BadY4m("源参考序列 $D/c411.y4m", "不支持的色度格式 C411。")},
    {"y4m_size_disagrees", "-s 16x4 -o $D/old.txt $D/ok.y4m $T", 1, "",
     "错误!\n源参考序列 $D/ok.y4m 的文件头是 16x8，与给出的 16x4 不一致！\n"},
    {"y4m_pair_disagrees", "$D/ok.y4m $D/ok444.y4m", 1, "",
     "错误!\n源参考序列 $D/ok.y4m 的文件头是 16x8 yuv420p，目标序列 $D/ok444.y4m 的文件头是 16x8 yuv444p，两者不一致！\n"},
    // A damaged Y4M file: its whole frames are compared, and the run is not complete.
    {"y4m_frame_line_garbled", "-o $D/out.txt $R $D/garbled.y4m", 1, Summary(1),
     Damaged("目标序列 $D/garbled.y4m", "第1帧的帧头（FRAME 行）缺失或无效", 1, 396) + Lengths("$R", 3, "$D/garbled.y4m", 1) +
         Average(1), 1},
    {"y4m_frame_line_garbled_with_n", "-n 3 -o $D/out.txt $R $D/garbled.y4m", 1, "",
     Damaged("目标序列 $D/garbled.y4m", "第1帧的帧头（FRAME 行）缺失或无效", 1, 396) + EndedEarly(1, 3, "目标序列 $D/garbled.y4m ") +
         "目标序列 $D/garbled.y4m 第1帧的帧头（FRAME 行）缺失或无效。\n", 1},
    {"y4m_frame_lines_with_parameters", "-o $D/out.txt $D/params.y4m $T", 0, Summary(2),
     Lengths("$D/params.y4m", 2, "$T", 3) + Average(2), 2},
    {"y4m_ends_inside_a_frame", "-o $D/out.txt $D/cut-frame.y4m $T", 1, Summary(2),
     Damaged("源参考序列 $D/cut-frame.y4m", "在第2帧中间结束", 2, 56) + Lengths("$D/cut-frame.y4m", 2, "$T", 3) + Average(2), 2},
    {"y4m_ends_inside_a_frame_line", "-o $D/out.txt $T $D/cut-line.y4m", 1, Summary(3),
     Damaged("目标序列 $D/cut-line.y4m", "在第3帧中间结束", 3, 8) + Average(3), 3},
    {"y4m_through_a_pipe", "-n 3 -o $D/out.txt /dev/stdin $T", 0, Summary(3), Average(3), 3, "cat '$D/ok.y4m' | "},
    {"y4m_through_a_fifo", "-n 3 -o $D/out.txt $R $D/fifo", 0, Summary(3), Average(3), 3,
     "mkfifo '$D/fifo' && (cat '$D/ok-tgt.y4m' >'$D/fifo' &) && ", "; s=$?; rm '$D/fifo'; exit $s"},
    {"y4m_pipe_bad_header", "-n 3 -o $D/old.txt $R /dev/stdin", 1, "",
     BadY4m("目标序列 /dev/stdin", "文件头缺少高度 H。"), -1, "cat '$D/noh.y4m' | "},
    // Raw bytes a look into a pipe took are the start of its first frame.
    // An encoded stream through a pipe is looked into as far as its first frame goes: never measured as pixels.
    {"mp4_through_a_pipe", "-s 16x8 -n 3 -o $D/old.txt $R /dev/stdin", 1, "",
     "错误!\n目标序列 /dev/stdin 是 MP4/MOV 文件，不是 YUV 序列：请先解码为 YUV 文件。"
#ifndef LORVANE_HAVE_FFMPEG
     "这个版本的 Lorvane 不能解码视频文件。"
#endif
     "通过管道读入的视频文件无法解码：请直接给出文件路径。\n", -1, "cat '$D/a.mp4' | "},
    {"raw_through_a_pipe_starting_like_y4m", "-s 16x8 -n 3 $D/yuv4mpeg.yuv /dev/stdin", 0,
     "共计3帧，平均PSNR如下：\nPSNR_Y: 100.000000\nPSNR_U: 100.000000\nPSNR_V: 100.000000\n",
     "Average,100.000000,100.000000,100.000000\n", -1, "cat '$D/yuv4mpeg.yuv' | "},
    // Less than one frame with -n omitted: nothing to compare is an error, before any output is made.
    {"no_whole_frame_without_n", "-s 16x8 -o $D/out.txt $R $D/tiny.yuv", 1, "",
     "错误!\n" + NoWholeFrame("目标序列 $D/tiny.yuv", 100) + "没有可比较的帧。\n"},
    {"empty_files_without_n", "-s 16x8 -o $D/old.txt --json $D/out.json $D/empty.yuv $D/b_8x8.yuv", 1, "",
     "错误!\n" + NoWholeFrame("源参考序列 $D/empty.yuv", 0) + NoWholeFrame("目标序列 $D/b_8x8.yuv", 0) + "没有可比较的帧。\n"},
    {"y4m_header_only_without_n", "-o $D/out.txt $D/head.y4m $T", 1, "",
     "错误!\n" + NoWholeFrame("源参考序列 $D/head.y4m", 17) + "没有可比较的帧。\n"},
    {"different_lengths_without_n", "-s 16x8 -o $D/out.txt $R $D/two.yuv", 0, Summary(2),
     Lengths("$R", 3, "$D/two.yuv", 2) + Average(2), 2},
    // Encoded files are found by their content and decoded; fakes that only start like one are never measured as
    // pixels, and nothing is written. A raw file is measured whatever its name.
    {"mp4_reference", "-s 16x8 -o $D/old.txt $D/a.mp4 $T", 1, "", Undecodable("源参考序列 $D/a.mp4", "MP4/MOV", kCannotOpen)},
    {"mov_without_size", "$R $D/clip.mov", 1, "", Undecodable("目标序列 $D/clip.mov", "MP4/MOV", kCannotOpen)},
    {"mkv_target", "-s 16x8 -n 3 -o $D/out.txt $R $D/a.mkv", 1, "", Undecodable("目标序列 $D/a.mkv", "Matroska/WebM", kCannotOpen)},
    {"avi_named_yuv", "-s 16x8 $D/avi.yuv $T", 1, "", Undecodable("源参考序列 $D/avi.yuv", "AVI", kNoVideo)},
    {"ivf", "-s 16x8 $R $D/a.ivf", 1, "", Undecodable("目标序列 $D/a.ivf", "IVF", kNoPicture)},
    {"mpeg_ts", "-s 16x8 $D/a.ts $T", 1, "", Undecodable("源参考序列 $D/a.ts", "MPEG-TS", kCannotOpen)},
    {"h264_annex_b", "-s 16x8 $D/a.264 $T", 1, "", Undecodable("源参考序列 $D/a.264", "H.264", kNoPicture)},
    {"hevc_annex_b", "-s 16x8 $R $D/a.hevc", 1, "", Undecodable("目标序列 $D/a.hevc", "HEVC", kNoPicture)},
    {"png", "-s 16x8 $D/a.png $T", 1, "", Undecodable("源参考序列 $D/a.png", "PNG", kNoPicture)},
    {"jpeg", "-s 16x8 $R $D/a.jpg", 1, "", Undecodable("目标序列 $D/a.jpg", "JPEG", kNoPicture)},
    {"raw_named_mp4", "-s 16x8 -o $D/out.txt $D/raw.mp4 $T", 0, Summary(3), Average(3), 3},
    {"names_disagree", "$D/a_16x8.yuv $D/b_8x8.yuv", 2, "",
     Usage("两个文件名给出的图像不一致：$D/a_16x8.yuv 是 16x8，$D/b_8x8.yuv 是 8x8。请用 -s 和 -p 给出。")},
    {"auto_size_finds_nothing", "-s auto $R $T", 2, "",
     Usage("无法按内容推断 $R 的图像宽高：文件大小不是任何常见尺寸的两帧以上的整数倍。请用 -s 宽x高 给出。")},
    // -s auto takes a picture only when it is clearly the best (identical frames fit every size), and leaves a
    // sequence it cannot open to the run, as any size does.
    {"auto_size_no_clear_winner", "-s auto -o $D/old.txt $D/still.yuv $T", 2, "",
     Usage("无法按内容推断 $D/still.yuv 的图像宽高：176x144（第0帧与第1帧的亮度 PSNR 100.00 dB）与 352x288（100.00 dB）"
           "相差不到 3 dB，分不出哪个对（试过 176x144、352x288、176x144 yuv420p10le）。请用 -s 宽x高 给出。")},
    {"auto_size_missing_reference", "-s auto -o $D/old.txt $D/missing.yuv $T", 1, "", CannotOpen("$D/missing.yuv", "\n")},
    {"auto_size_reference_is_a_folder", "-s auto $D/folder $T", 1, "", CannotOpen("$D/folder", "\n")},
    // Names count by whole words; a format Lorvane does not read is named, never read as 8-bit.
    {"name_format_word_inside_a_word", "-o $D/out.txt $D/stingray_16x8.yuv $T", 0, Summary(3),
     "从文件名 $D/stingray_16x8.yuv 推断：16x8\n" + Average(3), 3},
    {"name_format_not_read", "-o $D/old.txt $D/a_16x8_yuv420p10be.yuv $T", 2, "",
     Unsupported("$D/a_16x8_yuv420p10be.yuv", "yuv420p10be")},
    {"name_format_not_read_in_a_folder_name", "-s 16x8 $R $D/nv16/tgt.yuv", 2, "", Unsupported("$D/nv16/tgt.yuv", "nv16")},
    {"name_format_not_read_but_given", "-s 16x8 -p yuv420p -o $D/out.txt $R $D/nv16/tgt.yuv", 0, Summary(3), Average(3), 3},
    // Semi-planar and packed formats are read: a 16x8 nv12 frame is as long as a yuv420p one, a yuyv422 one longer.
    {"name_format_nv12_is_read", "-o $D/out.txt $R $D/a_16x8_nv12.yuv", 0, Summary(3),
     "从文件名 $D/a_16x8_nv12.yuv 推断：16x8 nv12\n" + Average(3), 3},
    {"name_format_yuyv422_is_read", "-n 2 $D/cap_16x8_yuyv422.yuv $D/cap_16x8_yuyv422.yuv", 0, Identical(2),
     "从文件名 $D/cap_16x8_yuyv422.yuv 和 $D/cap_16x8_yuyv422.yuv 推断：16x8 yuyv422\n" + Ragged("源参考序列 $D/cap_16x8_yuyv422.yuv", 576, "16x8", 256) +
         Ragged("目标序列 $D/cap_16x8_yuyv422.yuv", 576, "16x8", 256) + kAverageIdentical},
    {"option_format_p010le_is_never_belied", "-s 16x8 -p p010le -n 1 $R $R", 0, Identical(1),
     Ragged("源参考序列 $R", 576, "16x8", 384) + Ragged("目标序列 $R", 576, "16x8", 384) + kAverageIdentical},
    // A 10-bit format whose first frame holds larger samples: refused when guessed from a name (only the
    // reference's tells it here), questioned when given by -p or a header.
    {"name_format_belied_by_samples", "-o $D/old.txt $D/ten_16x8_yuv420p10le.yuv $R", 1, "",
     "从文件名 $D/ten_16x8_yuv420p10le.yuv 推断：16x8 yuv420p10le\n" + Ragged("目标序列 $R", 576, "16x8", 384) +
         Belied("目标序列 $R", 51136, true)},
    {"option_format_belied_by_samples", "-s 16x8 -p yuv420p10le -n 1 $R $R", 0, Identical(1),
     Ragged("源参考序列 $R", 576, "16x8", 384) + Ragged("目标序列 $R", 576, "16x8", 384) +
         Belied("源参考序列 $R", 51136, false) + Belied("目标序列 $R", 51136, false) + kAverageIdentical},
    {"y4m_format_belied_by_samples", "$D/p10.y4m $D/p10.y4m", 0, Identical(1),
     Belied("源参考序列 $D/p10.y4m", 51136, false) + Belied("目标序列 $D/p10.y4m", 51136, false) + kAverageIdentical},
    // Odd sizes: ffmpeg's layout is suggested when it fits the file exactly; the classic layout stays the default.
    {"odd_size_written_by_ffmpeg", "-s 15x9 $D/odd.yuv $D/odd.yuv", 0, Identical(3),
     OddSize("源参考序列") + OddSize("目标序列") + kAverageIdentical},
    {"output_is_reference_by_symlink", "-s 16x8 -o $D/out.txt --json $D/link-ref $R $T", 1, "",
     "打开文件错误!\n输出文件 $D/link-ref 就是源参考序列!\n请另选输出文件！\n"},
    {"output_on_full_disk", "-s 16x8 --csv /dev/full $R $T", 1, Summary(3),
     Average(3) + "写入文件错误!\n写入 /dev/full 时出错!\n输出不完整，请检查路径和磁盘空间！\n"},
    {"two_outputs_to_stdout", "-s 16x8 --json - --csv - $R $T", 2, "", Usage("选项 --json 和 --csv 都写到标准输出：只能有一个输出写到标准输出。")},
    // Outputs whole or not at all: interrupted, cut off by a file-size limit, out of memory or failing,
    // a run leaves every existing output as it was and no temporary file behind.
    {"interrupted_by_sigint", "-s 16x8 -n 1000000000 -o $D/old.txt /dev/zero /dev/zero", 124, "", "", -1,
     "timeout -s INT 0.5 "},
    {"terminated_by_sigterm", "-s 16x8 -n 1000000000 -o $D/old.txt /dev/zero /dev/zero", 124, "", "", -1,
     "timeout -s TERM 0.5 "},
    {"file_size_limit", "-s 16x8 -o $D/old.txt --json $D/old.json $R $T", 1, Summary(3),
     Average(3) + "写入文件错误!\n写入 $D/old.json 时出错!\n输出不完整，请检查路径和磁盘空间！\n"
     "写入文件错误!\n因此没有写出：-o $D/old.txt（原有的同名文件保持不变）。\n", -1, "ulimit -f 2; "},
    {"out_of_memory", "-s 2x2 -n 1000000000 --json $D/old.json /dev/zero /dev/zero", 1, "",
     // FFmpeg's libraries and theirs take about 190 MB of address space as
     // the program starts: the frames kept then run out of the rest.
     "错误!\n内存不足，无法完成计算！\n", -1, "ulimit -v 220000; "},
    {"one_output_fails_none_written", "-s 16x8 -o $D/old.txt --json $D/old.json --csv $D/folder $R $T", 1, Summary(3),
     Average(3) + "写入文件错误!\n写入 $D/folder 时出错!\n输出不完整，请检查路径和磁盘空间！\n"
     "写入文件错误!\n因此没有写出：-o $D/old.txt、--json $D/old.json（原有的同名文件保持不变）。\n"},
    // Several targets: each -o, --json and --csv needs {} for the target's name, and two targets must not
    // expand to one file; a target that cannot be opened stops the run before any output is made.
    {"several_targets_without_braces", "-s 16x8 -n 3 -o $D/out_{}.txt --json $D/new.json $R $T $D/hard-tgt", 2, "",
     Usage("选项 --json $D/new.json 的路径中没有 {}：有多个目标序列时，每个目标序列各写一个文件，路径中的 {} "
           "换成目标序列的文件名（不含目录和扩展名）。")},
    {"several_targets_one_name", "-s 16x8 -n 3 --csv $D/{}.csv $R $T $D/folder/../tgt.yuv", 2, "",
     Usage("选项 --csv $D/{}.csv 给目标序列 $T 和 $D/folder/../tgt.yuv 都是 $D/tgt.csv：请让它们的文件名不同，或分开运行。")},
    {"several_targets_one_missing", "-s 16x8 -n 3 -o $D/old{}.txt --json $D/{}.json $R $T $D/missing.yuv $D/hard-tgt", 1,
     "", CannotOpen("$D/missing.yuv")},
    {"several_targets_both_stdin", "-s 16x8 -n 3 $R /dev/stdin -", 2, "",
     Usage("序列 /dev/stdin 和 - 都是标准输入：只能有一个序列从标准输入读取。")},
    // One file, one output, whatever its spelling; "-" is standard output for -o too.
    {"two_outputs_one_file_by_path", "-s 16x8 --json $D/new.json --csv $D/folder/../new.json $R $T", 2, "",
     Usage("选项 --json $D/new.json 和 --csv $D/folder/../new.json 是同一个文件：每个文件只能写一个输出。")},
    {"two_outputs_one_file_by_dangling_link", "-s 16x8 --json $D/new.json --csv $D/link-new $R $T", 2, "",
     Usage("选项 --json $D/new.json 和 --csv $D/link-new 是同一个文件：每个文件只能写一个输出。")},
    {"two_outputs_one_file_by_hard_link", "-s 16x8 -o $D/old.txt --report $D/hard-old $R $T", 2, "",
     Usage("选项 -o $D/old.txt 和 --report $D/hard-old 是同一个文件：每个文件只能写一个输出。")},
    {"two_outputs_to_stdout_by_other_names", "-s 16x8 -o - --csv /dev/stdout $R $T", 2, "",
     Usage("选项 -o 和 --csv 都写到标准输出：只能有一个输出写到标准输出。")},
    {"result_file_to_stdout", "-s 16x8 -o - $R $T", 0, ResultFile(3), Average(3) + Summary(3), -1, "cd '$D' && "},
    // Frames in step: skipping past the end of a sequence leaves nothing to compare, said before any output
    // is made, also of a pipe; a bad --offset or --start is a command-line error.
    {"offset_beyond_reference", "-s 16x8 --offset 3 -o $D/old.txt $R $T", 1, "",
     "错误!\n源参考序列 $R 有 3 帧，偏移 3 要跳过它的前 3 帧。\n没有可比较的帧。\n"},
    {"negative_offset_and_start_beyond_target", "-s 16x8 --offset -2 --start 1 -n 1 -o $D/old.txt $R $T", 1, "",
     "错误!\n目标序列 $T 有 3 帧，偏移 -2、起始 1 要跳过它的前 3 帧。\n没有可比较的帧。\n"},
    {"start_beyond_both", "-s 16x8 --start 7 --json $D/out.json $R $T", 1, "",
     "错误!\n源参考序列 $R 有 3 帧，起始 7 要跳过它的前 7 帧。\n目标序列 $T 有 3 帧，起始 7 要跳过它的前 7 帧。\n没有可比较的帧。\n"},
    {"offset_beyond_a_pipe", "-s 16x8 -n 2 --offset 4 -o $D/old.txt /dev/stdin $T", 1, "",
     "错误!\n源参考序列 /dev/stdin 有 3 帧，偏移 4 要跳过它的前 4 帧。\n没有可比较的帧。\n", -1, "cat '$D/ref.yuv' | "},
    {"start_leaves_one_pair_numbered_0", "-s 16x8 --start 2 -o $D/out.txt $R $T", 0, Summary(1),
     "源参考序列 $R 有 3 帧，目标序列 $T 有 3 帧：从源参考序列第2帧、目标序列第2帧起比较 1 帧。\n" + Average(1), 1},
    {"offset_auto_on_unrelated_content", "-s 16x8 --offset auto -o $D/old.txt $R $D/still.yuv", 1, "",
     "错误!\n无法按内容对齐目标序列 $D/still.yuv 与源参考序列 $R：最好的偏移 2（前 1 对帧的亮度 MSE 3371.88）与其次的"
     "偏移 1（MSE 3411.12）相差不到一倍，分不出哪个对（试过 -16 到 16）。\n请用 --offset 给出偏移。\n"},
    {"offset_auto_through_a_pipe", "-s 16x8 -n 3 --offset auto $R /dev/stdin", 2, "",
     Usage("--offset auto 要按内容比较两个序列开头的帧，目标序列 /dev/stdin 却不是普通文件：请用 --offset 给出偏移。"), -1,
     "cat '$D/tgt.yuv' | "},
    {"offset_auto_finds_none_needed", "-s 16x8 --offset auto:2 -o $D/out.txt $R $T", 0, Summary(3),
     "按内容对齐目标序列 $T 与源参考序列 $R：取偏移 0（前 3 对帧的亮度 MSE 1.00），其次是偏移 1（MSE 2344.00）；试过 -2 到 2。\n" +
         Average(3), 3},
    {"offset_is_a_fraction", "-s 16x8 --offset 1.5 $R $T", 2, "", Usage("偏移 \"1.5\" 无效：应为 -1000000000 到 1000000000 "
     "之间的整数，或 auto、auto:M（M 为 1 到 250 之间的整数）。")},
    {"offset_auto_range_too_wide", "-s 16x8 --offset auto:251 $R $T", 2, "", Usage("偏移 \"auto:251\" 无效：应为 "
     "-1000000000 到 1000000000 之间的整数，或 auto、auto:M（M 为 1 到 250 之间的整数）。")},
    {"start_negative", "-s 16x8 --start -1 $R $T", 2, "", Usage("起始 \"-1\" 无效：应为 0 到 1000000000 之间的整数。")},
    // Static content fits every shift alike: no warning about frames out of step.
    {"static_content_never_warns", "-s 176x144 -n 2 $D/still.yuv $D/stillq.yuv", 0,
     "共计2帧，平均PSNR如下：\nPSNR_Y: 48.130804\nPSNR_U: 48.130804\nPSNR_V: 48.130804\n",
     "Average,48.130804,48.130804,48.130804\n"},
    // Rate and quality: rates that are missing or wrong, manifests and shards, RD files bd cannot use.
    {"rd_raw_target_without_rate", "-s 16x8 --rd $D/out.csv $R $T", 2, "", Usage("目标序列 $T 是无头 YUV 或 YUV4MPEG2 文件，"
     "没有码率：有 --rd 时请用 --rates 给出，每个这样的目标序列一个，按给出的顺序。")},
    {"rates_zero", "-s 16x8 --rates 1000,0 --rd $D/out.csv $R $T", 2, "", Usage("码率 \"0\" 无效：--rates 应为逗号分隔的正数"
     "（kbps），每个无头 YUV 或 YUV4MPEG2 目标序列一个。")},
    {"rates_more_than_raw_targets", "-s 16x8 --rates 1000,2000 --rd $D/out.csv $R $T", 2, "", Usage("--rates 给出了 2 个码率，"
     "无头 YUV 和 YUV4MPEG2 目标序列却有 1 个：每个这样的目标序列一个，按给出的顺序（解码的目标序列用测得的码率）。")},
    {"shard_out_of_range", "-s 16x8 --manifest $D/m.csv --shard 3/3 --rd $D/out.csv", 2, "",
     Usage("分片 \"3/3\" 无效：应写成 K/N，N 不小于 1，K 从 0 到 N-1。")},
    {"shard_without_manifest", "-s 16x8 --shard 0/2 $R $T", 2, "", Usage("--shard 只能与 --manifest 一起使用。")},
    {"manifest_and_sequences", "-s 16x8 --manifest $D/m.csv $R $T", 2, "",
     Usage("有 --manifest 时序列由清单给出，命令行上不能再给出序列。")},
    {"manifest_without_its_columns", "-s 16x8 --manifest $D/m-bad.csv --rd $D/out.csv", 1, "",
     "错误!\n$D/m-bad.csv 不是清单文件：第1行应为列名 reference,target,series,rate。\n"},
    {"bd_missing_columns", "bd $D/rd-cols.csv $D/rd-a.csv", 1, "", "错误!\n$D/rd-cols.csv 缺少列 Series、Frames、Bitrate_kbps："
     "RD 文件的列是 Sequence,Series,Encode,Frames,Bitrate_kbps 和各质量指标。\n"},
    {"bd_negative_rate", "bd $D/rd-a.csv $D/rd-neg.csv", 1, "",
     "错误!\n$D/rd-neg.csv 第2行 的码率 Bitrate_kbps \"-100\" 无效：应为大于 0 的数（kbps）。\n"},
    {"bd_open_quote", "bd $D/rd-a.csv $D/rd-quote.csv", 1, "", "错误!\n$D/rd-quote.csv 第6行 的引号不配对。\n"},
    {"bd_metric_not_measured", "bd --metric ssim_y $D/rd-a.csv $D/rd-a.csv", 1, "",
     "错误!\n--anchor 的 $D/rd-a.csv 第2行 没有 ssim_y 列：测量时没有测这个指标（用 -m 给出）。\n"},
    {"bd_nan_quality", "bd --csv $D/old.txt $D/rd-a.csv $D/rd-nan.csv", 1, "", "错误!\n序列 a：--test 的 $D/rd-nan.csv 第4行"
     "（编码 e2）的 psnr_y 不是数：没有比较任何帧的编码不能画进曲线。\n错误!\n有序列算不出，没有写出 --csv 和 --report（原有的同名文件保持不变）。\n"},
    {"bd_sequences_named_differently", "bd $D/rd-a.csv $D/rd-b.csv", 1, "", "警告!\n序列 a 只在 --anchor 中有，没有比较。\n"
     "警告!\n序列 b 只在 --test 中有，没有比较。\n错误!\n两边没有共同的序列：没有可比较的曲线。\n"},
    {"bd_missing_file", "bd $D/rd-a.csv $D/missing.csv", 1, "", "打开文件错误!\n不能打开 RD 文件 $D/missing.csv!\n请确认路径是否正确！\n"},
    {"bd_option_twice", "bd --metric psnr_y --metric ssim $D/rd-a.csv $D/rd-a.csv", 2, "", BdUsage("选项 --metric 只能给出一次。")},
    {"bd_anchor_without_file", "bd --test $D/rd-a.csv --anchor", 2, "", BdUsage("选项 --anchor 缺少取值。")},
    {"bd_unknown_method", "bd --method spline $D/rd-a.csv $D/rd-a.csv", 2, "", BdUsage("未知的方法 \"spline\"：应为 pchip 或 cubic。")},
    {"bd_mixed_forms", "bd --anchor $D/rd-a.csv $D/rd-a.csv $D/rd-b.csv", 2, "",
     BdUsage("应给出两个 RD 文件（基准和对比），或用 --anchor 和 --test 给出，不能混用。")},
    // A decimal-comma locale must not turn the points into commas.
    {"german_locale", "-s 16x8 -o $D/out.txt $R $T", 0, Summary(3), Average(3), 3,
     "LOCPATH='$D.locale' LC_ALL=de_DE.UTF-8 "},
};

S Expand(S text, const S& dir)
{
    for (const auto& [key, value] : std::map<S, S>{{"$D", dir}, {"$R", dir + "/ref.yuv"}, {"$T", dir + "/tgt.yuv"}})
        for (std::size_t at = 0; (at = text.find(key, at)) != S::npos; at += value.size())
            text.replace(at, 2, value);
    return text;
}

// Every entry under `dir`: files by content, links by where they point, folders by name.
std::map<S, S> Snapshot(const fs::path& dir)
{
    std::map<S, S> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        entries[fs::relative(entry.path(), dir).string()] =
            entry.is_symlink() ? "link to " + fs::read_symlink(entry.path()).string()
                               : entry.is_directory() ? "folder" : "file " + ReadFile(entry.path());
    return entries;
}

class BadInput : public ::testing::TestWithParam<Case> {};

TEST_P(BadInput, MessageStatusAndFilesIntact)
{
    const Case& c = GetParam();
#ifdef _WIN32
    if (const S why = NotOnWindows(c.args + c.prefix + c.redirect); !why.empty())
        GTEST_SKIP() << "Not on Windows: the case " << why;
#endif
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
    constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
    constexpr bool kAddressSanitizer = false;
#endif
    if (kAddressSanitizer && c.prefix.find("ulimit -v") != S::npos)
        GTEST_SKIP() << "the address sanitizer reserves more address space than the case's limit";
    const Scratch s;
    const fs::path d = U8Path(s.dir);
    fs::create_directory(d / "nv16");
    for (const auto& [name, bytes] : std::map<S, S>{{"ref.yuv", Frames(16, 8, 3, false)},
             {"tgt.yuv", Frames(16, 8, 3, true)}, {"empty.yuv", ""}, {"tiny.yuv", Frames(16, 8, 3, true).substr(0, 100)},
             {"ragged.yuv", Frames(16, 8, 3, true).substr(0, 2 * 192 + 50)}, {"old.txt", "keep\n"},
             {"old.json", "{\"keep\": true}\n"},
             {"long.y4m", "YUV4MPEG2 W16 H8 X" + S(2000, 'x') + "\n"}, {"cut.y4m", "YUV4MPEG2 W16 H8"},
             {"noh.y4m", "YUV4MPEG2 W16\nFRAME\n"}, {"c411.y4m", "YUV4MPEG2 W16 H8 C411\n"},
             {"ok.y4m", Y4m("YUV4MPEG2 W16 H8 F25:1\n", Frames(16, 8, 3, false))},
             {"ok444.y4m", Y4m("YUV4MPEG2 W16 H8 C444\n", "")},
             {"garbled.y4m", Y4m("YUV4MPEG2 W16 H8 C420jpeg\n", Frames(16, 8, 3, true), "FRAM\n\n")},
             {"a_16x8.yuv", ""}, {"b_8x8.yuv", ""}, {"still.yuv", S(352 * 288 * 3, 'P')},
             {"stillq.yuv", S(352 * 288 * 3, 'Q')},
             {"wneg.y4m", "YUV4MPEG2 W-4 H8\n"}, {"wabc.y4m", "YUV4MPEG2 Wabc H8\n"}, {"w0.y4m", "YUV4MPEG2 W0 H8\n"},
             {"crlf.y4m", "YUV4MPEG2 W16 H8\r\n"}, {"cesc.y4m", Bytes("YUV4MPEG2 W16 H8 C420\x1B[31m\0\\n？\n")},
             {"params.y4m", Y4m("YUV4MPEG2 W16 H8\n", Frames(16, 8, 2, false), "", {"FRAME Ib XSOMETHING=" + S(900, 'y') +
              "\n", "FRAME Ip\n"})},
             {"cut-frame.y4m", Y4m("YUV4MPEG2 W16 H8\n", Frames(16, 8, 3, false)).substr(0, 17 + 2 * 198 + 56)},
             {"cut-line.y4m", Y4m("YUV4MPEG2 W16 H8\n", Frames(16, 8, 3, false)) + "FRAME Ib"},
             {"ok-tgt.y4m", Y4m("YUV4MPEG2 W16 H8\n", Frames(16, 8, 3, true))}, {"head.y4m", "YUV4MPEG2 W16 H8\n"},
             {"yuv4mpeg.yuv", "YUV4MPEG2" + Frames(16, 8, 3, false).substr(9)}, {"two.yuv", Frames(16, 8, 2, true)},
             {"a.mp4", Padded(Bytes("\0\0\0\x20" "ftypisom\0\0\x02\0isomiso2avc1mp41"))},
             {"clip.mov", Padded(Bytes("\0\0\0\x14" "ftypqt  \0\0\x02\0qt  \0\0\0\x08wide"))},
             {"a.mkv", Padded("\x1A\x45\xDF\xA3\xA3\x42\x86\x81\x01")}, {"avi.yuv", Padded(Bytes("RIFF\x60\x1E\0\0" "AVI LIST"))},
             {"a.ivf", Padded(Bytes("DKIF\0\0\x20\0VP90"))}, {"a.ts", TsPackets()},
             {"a.264", Padded(Bytes("\0\0\0\x01\x67\xF4\0\x0A\x91\x9B\x28\x8F\x60\x22\0\0\x03\0\x02\0\0\x03\0\x64\0\0\0\x01\x68\xEB"))},
             {"a.hevc", Padded(Bytes("\0\0\0\x01\x40\x01\x0C\x01\xFF\xFF\x04\x08\0\0\x03\0\0\0\0\x01\x42\x01"))},
             {"a.png", Padded("\x89PNG\r\n\x1A\n")}, {"a.jpg", Padded("\xFF\xD8\xFF\xE0")}, {"raw.mp4", Frames(16, 8, 3, false)},
             {"stingray_16x8.yuv", Frames(16, 8, 3, false)}, {"a_16x8_yuv420p10be.yuv", ""},
             {"nv16/tgt.yuv", Frames(16, 8, 3, true)}, {"a_16x8_nv12.yuv", Frames(16, 8, 3, true)},
             {"cap_16x8_yuyv422.yuv", Frames(16, 8, 3, false)}, {"ten_16x8_yuv420p10le.yuv", TenBit(16 * 8 * 3 / 2 * 3)},
             {"p10.y4m", "YUV4MPEG2 W16 H8 C420p10\nFRAME\n" + Frames(16, 8, 2, false)},
             {"odd.yuv", Frames(15, 9, 4, false).substr(0, 645)}, {"rd-a.csv", Rd("a", "30")}, {"rd-b.csv", Rd("b", "30")},
             {"rd-nan.csv", Rd("a", "nan")}, {"rd-cols.csv", "Sequence,Encode,psnr_y\na,e0,30\n"},
             {"rd-neg.csv", Rd("a", "30").substr(0, 50) + "a,x,e0,3,-100,30\n"}, {"rd-quote.csv", Rd("a", "30") + "\"a,x,e9\n"},
             {"m.csv", "reference,target,series,rate\nref.yuv,tgt.yuv,s,100\n"}, {"m-bad.csv", "ref,tgt\nref.yuv,tgt.yuv\n"}})
        WriteFile(d / name, bytes);
    fs::create_directory(d / "folder");
#ifndef _WIN32
    fs::create_symlink("ref.yuv", d / "link-ref");
    fs::create_symlink("new.json", d / "link-new");
#endif
    fs::create_hard_link(d / "tgt.yuv", d / "hard-tgt");
    fs::create_hard_link(d / "old.txt", d / "hard-old");
    const S prefix = Expand(c.prefix, s.dir);
    if (prefix.find("de_DE") != S::npos) {
        // Built from Debian's locale sources: no system-wide de_DE.UTF-8 needed. printf shows it is in force.
        const S locale = "mkdir '" + s.dir + ".locale' && localedef -i de_DE -c -f UTF-8 '" + s.dir + ".locale/de_DE.UTF-8'";
        if (std::system((locale + " >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << "localedef could not build de_DE.UTF-8 (install Debian's \"locales\")";
        ASSERT_EQ(std::system(("(" + prefix + "/usr/bin/printf %.1f 1.5) >'" + s.dir + ".out'").c_str()), 0);
        ASSERT_EQ(ReadFile(s.dir + ".out"), "1,5") << "the German locale is not in force";
    }
    std::vector<S> args;
    std::istringstream words(c.args);
    for (S word; words >> word;)
        args.push_back(Expand(word, s.dir));

    auto expected = Snapshot(d);
    const Outcome run = s.Run(args, prefix, Expand(c.redirect, s.dir));
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, Expand(c.out, s.dir));
    EXPECT_EQ(run.err, Expand(c.err, s.dir));
    if (c.frames >= 0)
        expected["out.txt"] = "file " + ResultFile(c.frames);
    EXPECT_EQ(Snapshot(d), expected) << "only the result file asked for may change";
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Cli, BadInput, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });
