#include "fw/security.h"

#include <sddl.h>

#include <atomic>

namespace vnk::fw {

std::vector<BYTE> UserSidOf(HANDLE process) {
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &rawToken)) return {};
    const UniqueHandle token(rawToken);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return {};
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (!::IsValidSid(sid)) return {};
    const auto* first = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(first, first + ::GetLengthSid(sid));
}

const std::vector<BYTE>& CurrentUserSid() {
    static const std::vector<BYTE> sid = UserSidOf(::GetCurrentProcess());
    return sid;
}

std::wstring SidText(const std::vector<BYTE>& sid) {
    if (sid.empty() || !::IsValidSid(const_cast<BYTE*>(sid.data()))) return {};
    wchar_t* raw = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &raw)) return {};
    const UniqueLocalText owned(raw);
    return raw;
}

SecurityDescriptor::SecurityDescriptor(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!sddl.empty() &&
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
        m_descriptor.reset(raw);
    m_attributes.nLength = sizeof m_attributes;
    m_attributes.lpSecurityDescriptor = m_descriptor.get();
    m_attributes.bInheritHandle = FALSE;
}

SECURITY_ATTRIBUTES* SecurityDescriptor::Attributes() { return m_descriptor ? &m_attributes : nullptr; }

PACL SecurityDescriptor::Dacl() const {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!m_descriptor || !::GetSecurityDescriptorDacl(m_descriptor.get(), &present, &dacl, &defaulted) ||
        !present)
        return nullptr;
    return dacl;
}

std::wstring OwnerOnlySddl() {
    const std::wstring user = SidText(CurrentUserSid());
    // Without the user's SID there is no owner-only descriptor to make.
    if (user.empty()) return {};
    return L"D:P(A;;GA;;;" + user + L")(A;;GA;;;SY)";
}

namespace {
std::atomic<SECURITY_ATTRIBUTES*> g_threadSecurity{nullptr};
}

void SetDefaultThreadSecurity(SECURITY_ATTRIBUTES* attributes) { g_threadSecurity = attributes; }
SECURITY_ATTRIBUTES* DefaultThreadSecurity() { return g_threadSecurity.load(); }

}  // namespace vnk::fw
