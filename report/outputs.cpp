// TEMP stub until the writers land.
#include "outputs.h"
#include <cstdio>
namespace lorvane {
std::string JsonText(const RunRecord&) { return "{}\n"; }
std::string CsvText(const RunRecord&) { return "Frame\n"; }
std::string HtmlReport(const RunRecord&) { return "<html/>\n"; }
std::string StatisticsTable(const RunRecord&) { return ""; }
bool WriteOutput(const std::string& path, const std::string& text)
{
    FILE* f = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != stdout) ok = std::fclose(f) == 0 && ok; else ok = std::fflush(f) == 0 && ok;
    return ok;
}
}
