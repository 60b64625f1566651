#include "app/process_hardening.h"

#include <aclapi.h>
#include <tlhelp32.h>

#include <atomic>

#include "common/trace.h"
#include "fw/handles.h"
#include "fw/security.h"
#include "fw/system_function.h"

namespace vnk {

namespace {

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    ::wsprintfW(text, L"0x%X", value);
    return text;
}

void CloseToOtherProcesses() {
    const std::wstring user = vnk::fw::SidText(vnk::fw::CurrentUserSid());
    const vnk::fw::SecurityDescriptor descriptor(user.empty() ? std::wstring() : ProcessDaclSddl(user));
    PACL dacl = descriptor.Dacl();
    if (dacl == nullptr) {
        Trace(L"CloseToOtherProcesses: no process DACL could be made (%u)\n", ::GetLastError());
        return;
    }
    const DWORD error = ::SetSecurityInfo(::GetCurrentProcess(), SE_KERNEL_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) Trace(L"CloseToOtherProcesses: the process DACL was refused (%u)\n", error);
}

// Set once the start-up has closed the threads: later passes only then.
std::atomic<bool> g_threadsClosed{false};

// The object DACL, made once and kept for the life of the process: every
// framework thread starts with it. Null when it could not be made.
vnk::fw::SecurityDescriptor& ObjectDescriptor() {
    static vnk::fw::SecurityDescriptor descriptor([] {
        const std::wstring user = vnk::fw::SidText(vnk::fw::CurrentUserSid());
        return user.empty() ? std::wstring() : ObjectDaclSddl(user);
    }());
    return descriptor;
}

// New threads (and every other object made without a descriptor of its
// own, by us or by the system's libraries) get the object DACL from the
// token from now on, and the framework starts its threads with it
// explicitly as well; the threads that run already get it one by one.
void CloseThreadsToOtherProcesses() {
    vnk::fw::SecurityDescriptor& descriptor = ObjectDescriptor();
    PACL dacl = descriptor.Dacl();
    if (dacl == nullptr) {
        Trace(L"CloseThreadsToOtherProcesses: no object DACL could be made (%u)\n", ::GetLastError());
        return;
    }
    vnk::fw::SetDefaultThreadSecurity(descriptor.Attributes());
    g_threadsClosed = true;

    const auto openToken = [](DWORD access) {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), access, &token)) {
            Trace(L"CloseThreadsToOtherProcesses: the token does not open (%u)\n", ::GetLastError());
            return vnk::fw::UniqueHandle();
        }
        return vnk::fw::UniqueHandle(token);
    };
    // Two opens, so that a token that refuses WRITE_DAC still takes the
    // default DACL.
    if (const vnk::fw::UniqueHandle token = openToken(TOKEN_ADJUST_DEFAULT | TOKEN_QUERY)) {
        TOKEN_DEFAULT_DACL defaultDacl{dacl};
        if (!::SetTokenInformation(token.get(), TokenDefaultDacl, &defaultDacl, sizeof defaultDacl))
            Trace(L"CloseThreadsToOtherProcesses: the token's default DACL was refused (%u)\n", ::GetLastError());
    }
    // Then the token itself closes, to this process too: nobody may
    // replace that default afterwards.
    if (const vnk::fw::UniqueHandle token = openToken(WRITE_DAC)) {
        const std::wstring user = vnk::fw::SidText(vnk::fw::CurrentUserSid());
        const vnk::fw::SecurityDescriptor tokenDescriptor(user.empty() ? std::wstring() : TokenDaclSddl(user));
        const DWORD error =
            tokenDescriptor.Dacl() == nullptr
                ? ERROR_INVALID_SECURITY_DESCR
                : ::SetSecurityInfo(token.get(), SE_KERNEL_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    tokenDescriptor.Dacl(), nullptr);
        if (error != ERROR_SUCCESS) Trace(L"CloseThreadsToOtherProcesses: the token's DACL was refused (%u)\n", error);
    }
    CloseRunningThreadsToOtherProcesses();
}

// Gives one thread the closed DACL; traced when it keeps its own (also when
// it could not be opened: a null `thread`, the open's error still set).
void CloseThread(HANDLE thread, DWORD id, PACL dacl) {
    const DWORD error = thread == nullptr
                            ? ::GetLastError()
                            : ::SetSecurityInfo(thread, SE_KERNEL_OBJECT,
                                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS)
        Trace(L"CloseRunningThreadsToOtherProcesses: thread %lu keeps its DACL (%u)\n", id, error);
}

// The process's own threads, one after the other, each opened with what
// its DACL still grants: without the list of every thread of the system
// that a snapshot makes. False when the system has no such call, or the
// walk stopped before its end (a thread that grants nothing): the snapshot
// then goes over them all.
bool CloseThreadsOneByOne(PACL dacl) {
    using NextThreadFn = LONG(NTAPI*)(HANDLE process, HANDLE thread, ACCESS_MASK access, ULONG attributes,
                                      ULONG flags, HANDLE* next);
    const auto nextThread = vnk::fw::OptionalSystemFunction<NextThreadFn>(L"ntdll.dll", "NtGetNextThread");
    if (nextThread == nullptr) return false;
    vnk::fw::UniqueHandle current;
    for (;;) {
        HANDLE next = nullptr;
        constexpr LONG kNoMoreEntries = static_cast<LONG>(0x8000001AL);
        const LONG status = nextThread(::GetCurrentProcess(), current.get(), MAXIMUM_ALLOWED, 0, 0, &next);
        if (status == kNoMoreEntries) return true;
        if (status < 0) return false;
        current.reset(next);
        CloseThread(current.get(), ::GetThreadId(current.get()), dacl);
    }
}

}  // namespace

void CloseRunningThreadsToOtherProcesses() {
    if (!g_threadsClosed) return;  // a process that HardenProcess did not close (a test's)
    PACL dacl = ObjectDescriptor().Dacl();
    if (dacl == nullptr) return;
    if (CloseThreadsOneByOne(dacl)) return;
    const vnk::fw::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        Trace(L"CloseRunningThreadsToOtherProcesses: no list of the running threads (%u)\n", ::GetLastError());
        return;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != ::GetCurrentProcessId()) continue;
        const vnk::fw::UniqueHandle thread(::OpenThread(WRITE_DAC, FALSE, entry.th32ThreadID));
        CloseThread(thread.get(), entry.th32ThreadID, dacl);
    }
}

namespace {

void RestrictDllSearch() {
    using Fn = BOOL(WINAPI*)(DWORD);
    const auto set = vnk::fw::OptionalSystemFunction<Fn>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (set == nullptr || !set(LOAD_LIBRARY_SEARCH_SYSTEM32))
        Trace(L"RestrictDllSearch: DLL search not restricted to System32 (%u)\n", ::GetLastError());
}

void SetMitigation(PROCESS_MITIGATION_POLICY policy, void* value, SIZE_T size, const wchar_t* name) {
    using Fn = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    const auto set = vnk::fw::OptionalSystemFunction<Fn>(L"kernel32.dll", "SetProcessMitigationPolicy");
    if (set == nullptr || !set(policy, value, size))
        Trace(L"SetMitigation: mitigation %s not set (%u)\n", name, ::GetLastError());
}

}  // namespace

std::wstring ProcessDaclSddl(const std::wstring& userSid) {
    const std::wstring all = Hex(PROCESS_ALL_ACCESS);
    return L"D:P(D;;" + Hex(kDeniedToUsersProcesses) + L";;;" + userSid + L")(A;;" + all + L";;;SY)(A;;" + all +
           L";;;BA)(A;;" + Hex(kLeftToUsersProcesses) + L";;;" + userSid + L")(A;;" + Hex(READ_CONTROL) +
           L";;;S-1-3-4)";
}

std::wstring ObjectDaclSddl(const std::wstring& userSid) {
    return L"D:P(A;;GA;;;SY)(A;;" + Hex(kLeftToUsersObjects) + L";;;" + userSid + L")(A;;" + Hex(READ_CONTROL) +
           L";;;S-1-3-4)";
}

std::wstring TokenDaclSddl(const std::wstring& userSid) {
    return L"D:P(A;;GA;;;SY)(A;;" + Hex(kLeftToUsersToken) + L";;;" + userSid + L")(A;;" + Hex(READ_CONTROL) +
           L";;;S-1-3-4)";
}

std::wstring MarkerSddl(const std::wstring& userSid) {
    return L"D:P(A;;GA;;;SY)(A;;" + Hex(SECTION_QUERY | SECTION_MAP_READ | READ_CONTROL) + L";;;" + userSid +
           L")(A;;" + Hex(READ_CONTROL) + L";;;S-1-3-4)";
}

void HardenProcess() {
    CloseToOtherProcesses();
    CloseThreadsToOtherProcesses();
    RestrictDllSearch();
    if (!::HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0))
        Trace(L"HardenProcess: heap termination on corruption not set (%u)\n", ::GetLastError());

    PROCESS_MITIGATION_STRICT_HANDLE_CHECK_POLICY strictHandles{};
    strictHandles.RaiseExceptionOnInvalidHandleReference = 1;
    strictHandles.HandleExceptionsPermanentlyEnabled = 1;
    SetMitigation(ProcessStrictHandleCheckPolicy, &strictHandles, sizeof strictHandles, L"strict handle checks");

    PROCESS_MITIGATION_IMAGE_LOAD_POLICY imageLoad{};
    imageLoad.NoRemoteImages = 1;
    imageLoad.NoLowMandatoryLabelImages = 1;
    imageLoad.PreferSystem32Images = 1;
    SetMitigation(ProcessImageLoadPolicy, &imageLoad, sizeof imageLoad, L"image load");
}

}  // namespace vnk
