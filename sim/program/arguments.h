// What both control programs (the simulator's and the test driver's) share:
// the exit codes scripts read, and the command-line words they take, a
// drive letter and a 32-bit number.
#pragma once

#include <windows.h>

#include <optional>
#include <string_view>

namespace vnk::sim {

constexpr int kExitDone = 0;      // the command was done
constexpr int kExitRefused = 1;   // the simulator or the driver refused it, or it failed
constexpr int kExitUsage = 2;     // bad arguments
constexpr int kExitNoAnswer = 3;  // no simulator or test driver answered

// "D", "d" or "D:"; the letter in upper case.
inline std::optional<wchar_t> ParseLetter(std::wstring_view text) {
    if (text.size() == 2 && text[1] == L':') text.remove_suffix(1);
    if (text.size() != 1) return std::nullopt;
    wchar_t letter = text[0];
    if (letter >= L'a' && letter <= L'z') letter = static_cast<wchar_t>(letter - L'a' + L'A');
    if (letter < L'A' || letter > L'Z') return std::nullopt;
    return letter;
}

// Decimal, or hexadecimal after 0x; the whole text, within 32 bits.
inline std::optional<DWORD> ParseNumber(std::wstring_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 10) return std::nullopt;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        unsigned digit = 0;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (base == 16 && c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else if (base == 16 && c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
    }
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<DWORD>(value);
}

}  // namespace vnk::sim
