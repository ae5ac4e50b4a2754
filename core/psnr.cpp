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

char* FixedToChars(char* first, char* last, double value, int decimals)
{
    // Values of the usual range are rounded with one multiplication, which is
    // off the exact product by at most `margin`: unless that lies within
    // `margin` of a half, it rounds as the exact value does. Everything else
    // goes to to_chars, exact but several times slower, which matters when a
    // run writes every frame.
    static constexpr double kScale[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    static constexpr std::uint64_t kUnit[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    if (decimals >= 0 && decimals <= 6 && value >= 0 && value < 1e9 && !std::signbit(value) &&
        last - first >= 17) {
        const double scaled = value * kScale[decimals];
        const double whole = std::floor(scaled);
        const double fraction = scaled - whole;
        const double margin = scaled * 0x1p-52;
        if (std::fabs(fraction - 0.5) > margin) {
            const std::uint64_t units = std::uint64_t(whole) + (fraction > 0.5 ? 1 : 0);
            char* end = std::to_chars(first, last, units / kUnit[decimals]).ptr;
            if (decimals == 0)
                return end;
            *end++ = '.';
            std::uint64_t digits = units % kUnit[decimals];
            for (int i = decimals - 1; i >= 0; --i, digits /= 10)
                end[i] = char('0' + digits % 10);
            return end + decimals;
        }
    }
    return std::to_chars(first, last, value, std::chars_format::fixed, decimals).ptr;
}

std::string FormatValue(double value)
{
    if (std::isnan(value))
        return "nan";
    // Digits as printf("%.6f") gives them in the C locale, so that a
    // decimal-comma locale set by a GUI toolkit cannot change the output.
    char buffer[kFixedChars];
    return std::string(buffer, FixedToChars(buffer, buffer + sizeof buffer, value, 6));
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
