// The command line and the standard streams, the same on every platform: the
// arguments in UTF-8, and the bytes the program prints written as they are.
#pragma once

#include <string>
#include <vector>

namespace lorvane {

// On Windows `argv` is in the ANSI code page, which cannot spell most names,
// so the arguments are taken from the wide command line instead; elsewhere
// they are `argv` as given.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// For parsers that take argc and argv: a pointer to each argument, then null.
std::vector<const char*> ArgumentPointers(const std::vector<std::string>& arguments);

// On Windows: a console shows UTF-8, and "\n" is not turned into "\r\n", so
// that what goes to a file or a pipe is byte for byte what Linux writes.
void SetUpStandardStreams();

}  // namespace lorvane
