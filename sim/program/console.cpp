#include "sim/program/console.h"

#include <windows.h>

#include <cstdio>

namespace vnk::sim {

std::string Narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                              nullptr);
    return narrow;
}

namespace {

void Print(std::FILE* stream, std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

void PrintOut(std::string_view line) { Print(stdout, line); }

void PrintError(std::string_view line) { Print(stderr, line); }

}  // namespace vnk::sim
