// What the tests spell differently on POSIX and Windows: paths in UTF-8, scratch folders.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

// The tests' paths are UTF-8, as the program's are; std::filesystem would read a narrow string in the ANSI
// code page on Windows.
inline fs::path U8Path(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
inline std::string Utf8(const fs::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A new folder in the temporary directory, named `stem` and six random letters; its path in UTF-8.
inline std::string MakeScratchFolder(const std::string& stem)
{
    std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (int i = 0; i < 6; ++i)
            name += "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
        const fs::path path = fs::temp_directory_path() / U8Path(name);
        if (fs::create_directory(path))
            return Utf8(path);
    }
    throw std::runtime_error("no scratch folder " + stem);
}
