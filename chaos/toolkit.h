// The chaos run's small tools: texts for its log, the failed check, and
// the folders of its evidence.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace vnk::chaos {

// A text's printable ASCII, any other unit as '?'.
std::string Narrow(const std::wstring& text);
// printf into a std::string (up to 2 KiB).
std::string Format(const char* format, ...);

// A failed check: the run stops and says which.
struct Violation : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool WriteText(const std::wstring& path, const std::string& text);
// A folder and the files in it.
void RemoveFolder(const std::wstring& folder);
// A folder and every folder above it that is missing.
void MakeFolders(const std::wstring& path);

}  // namespace vnk::chaos
