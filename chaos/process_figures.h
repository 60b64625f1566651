// What the chaos run reads of the client from outside: its threads, its
// handles, its committed private memory, and whether a passphrase is still
// anywhere in its memory.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace vnk::chaos {

struct Resources {
    size_t threads = 0;
    DWORD handles = 0;
    size_t privateKiB = 0;
};

size_t ThreadsOf(DWORD pid);
// The handles a process holds, from the system's handle table (Wine does
// not answer GetProcessHandleCount for another process).
DWORD HandlesOf(DWORD pid);
// With `memory`, the committed private memory too, which takes a query
// per region of the process (slow under Wine, so not at every step).
Resources ResourcesOf(HANDLE process, DWORD pid, bool memory);

// Where, in the writable or private memory of a process, one of `secrets`
// stands (as UTF-16 or as 8-bit text); the index of the first found, and
// in `where` (if given) its address and the region that holds it.
struct SecretPlace {
    const void* address = nullptr;
    const void* allocationBase = nullptr;
    DWORD type = 0;
};
std::optional<size_t> FindSecretIn(HANDLE process, const std::vector<std::wstring>& secrets,
                                   SecretPlace* where = nullptr);

}  // namespace vnk::chaos
