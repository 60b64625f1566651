// Console output of the simulator's programs: plain text lines, no
// passphrase ever.
#pragma once

#include <string>
#include <string_view>

namespace vnk::sim {

std::string Narrow(std::wstring_view text);  // UTF-8
void PrintOut(std::string_view line);  // a line on stdout
void PrintError(std::string_view line);  // a line on stderr

}  // namespace vnk::sim
