#include "psnr.h"

#include <charconv>
#include <cmath>

#include "ssd.h"

namespace lorvane {

double PlanePsnr(const std::uint8_t* reference, const std::uint8_t* target,
                 std::int32_t width, std::int32_t height)
{
    const std::int64_t count =
        (width > 0 && height > 0) ? std::int64_t(width) * std::int64_t(height) : 0;
    const std::int64_t sum =
        count > 0 ? std::int64_t(Ssd(reference, target, std::size_t(count))) : 0;
    // 0 / 0 is not-a-number for an empty plane; PsnrOfMse's ordered
    // comparison with 0 lets it through to log10, which keeps it.
    return PsnrOfMse(double(sum) / double(count), 255.0);
}

FrameLayout ComputeFrameLayout(std::int32_t width, std::int32_t height)
{
    FrameLayout layout;
    layout.lumaSamples = width * height;
    layout.frameSize = (layout.lumaSamples * 3) / 2;
    layout.uOffset = layout.lumaSamples;
    layout.vOffset = (layout.lumaSamples * 5) / 4;
    layout.chromaWidth = width / 2;
    layout.chromaHeight = height / 2;
    return layout;
}

std::string FormatValue(double value)
{
    if (std::isnan(value))
        return "nan";
    // to_chars with a precision is printf("%.6f") in the C locale, so a
    // decimal-comma locale set by a GUI toolkit cannot change the output.
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    return std::string(buffer, result.ptr);
}

std::string ResultHeaderLine()
{
    return "FrameNUM  PSNR_Y PSNR_U PSNR_V\r\n";
}

namespace {

// Appends "a,b,c" with each value formatted as FormatValue does.
void AppendValues(std::string& text, double a, double b, double c)
{
    text += FormatValue(a);
    text += ',';
    text += FormatValue(b);
    text += ',';
    text += FormatValue(c);
}

}  // namespace

std::string ResultFrameLine(std::int32_t frame, double y, double u, double v)
{
    std::string line = " ";
    line += std::to_string(frame);
    line += ',';
    AppendValues(line, y, u, v);
    line += "\r\n";
    return line;
}

std::string AverageLine(double y, double u, double v, const char* lineEnd)
{
    std::string line = "Average,";
    AppendValues(line, y, u, v);
    line += lineEnd;
    return line;
}

std::string SummaryText(std::int32_t frames, double y, double u, double v)
{
    std::string text = "共计";
    text += std::to_string(frames);
    text += "帧，平均PSNR如下：\nPSNR_Y: ";
    text += FormatValue(y);
    text += "\nPSNR_U: ";
    text += FormatValue(u);
    text += "\nPSNR_V: ";
    text += FormatValue(v);
    text += '\n';
    return text;
}

double ReportAverage(double sum, std::int32_t n)
{
    return sum * (1.0 / double(n));
}

}  // namespace lorvane
