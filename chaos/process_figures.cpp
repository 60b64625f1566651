#include "chaos/process_figures.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "chaos/toolkit.h"
#include "fw/handles.h"

namespace vnk::chaos {

namespace {

using NtQuerySystemInformationFn = LONG(NTAPI*)(ULONG, void*, ULONG, ULONG*);

}  // namespace

size_t ThreadsOf(DWORD pid) {
    vnk::fw::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == pid) ++count;
    return count;
}

DWORD HandlesOf(DWORD pid) {
    static const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    struct Entry {  // SYSTEM_HANDLE_ENTRY
        ULONG OwnerPid;
        BYTE ObjectType, HandleFlags;
        USHORT HandleValue;
        PVOID ObjectPointer;
        ULONG AccessMask;
    };
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    for (int tries = 0; tries < 4; ++tries) {
        const LONG status =
            query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<LONG>(0xC0000004) /* STATUS_INFO_LENGTH_MISMATCH */) {
            buffer.resize(std::max<size_t>(needed, buffer.size() * 2));
            continue;
        }
        if (status < 0) return 0;
        ULONG count = 0;
        std::memcpy(&count, buffer.data(), sizeof count);
        const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
        DWORD mine = 0;
        for (ULONG i = 0; i < count; ++i)
            if (entries[i].OwnerPid == pid) ++mine;
        return mine;
    }
    return 0;
}

Resources ResourcesOf(HANDLE process, DWORD pid, bool memory) {
    Resources r;
    r.threads = ThreadsOf(pid);
    r.handles = HandlesOf(pid);
    if (!memory) return r;
    // Committed private memory, summed over the regions: reading the
    // process (the passphrase search) pages memory in and so moves the
    // resident and page-file figures, but not this one.
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr;
         ::VirtualQueryEx(process, address, &region, sizeof region) == sizeof region && region.RegionSize != 0;
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize)
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) r.privateKiB += region.RegionSize / 1024;
    return r;
}

std::optional<size_t> FindSecretIn(HANDLE process, const std::vector<std::wstring>& secrets, SecretPlace* where) {
    if (secrets.empty()) return std::nullopt;
    std::vector<std::string> patterns;
    for (const auto& secret : secrets) {
        patterns.emplace_back(reinterpret_cast<const char*>(secret.data()), secret.size() * sizeof(wchar_t));
        patterns.emplace_back(Narrow(secret));
    }
    constexpr size_t kPiece = 1 << 20;
    std::vector<char> buffer(kPiece);
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; ::VirtualQueryEx(process, address, &region, sizeof region) == sizeof region;
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.RegionSize == 0) break;
        if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 || region.Protect == 0)
            continue;
        const bool writable =
            (region.Protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
        if (region.Type == MEM_IMAGE && !writable) continue;
        const auto* base = static_cast<const BYTE*>(region.BaseAddress);
        for (size_t offset = 0; offset < region.RegionSize;) {
            const size_t bytes = std::min<size_t>(kPiece, region.RegionSize - offset);
            SIZE_T read = 0;
            if (::ReadProcessMemory(process, base + offset, buffer.data(), bytes, &read) && read > 0) {
                const std::string_view piece(buffer.data(), read);
                for (size_t i = 0; i < patterns.size(); ++i)
                    if (const size_t at = piece.find(patterns[i]); at != std::string_view::npos) {
                        if (where != nullptr) *where = {base + offset + at, region.AllocationBase, region.Type};
                        ::SecureZeroMemory(buffer.data(), buffer.size());
                        return i / 2;
                    }
            }
            if (offset + bytes >= region.RegionSize) break;
            offset += bytes - 512;  // a secret across two pieces
        }
    }
    ::SecureZeroMemory(buffer.data(), buffer.size());
    return std::nullopt;
}

}  // namespace vnk::chaos
