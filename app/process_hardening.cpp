#include "app/process_hardening.h"

#include <aclapi.h>

#include "common/trace.h"
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

void HardenProcess() {
    CloseToOtherProcesses();
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
