// Access control for the program's own objects: the user a process runs
// as, owned security descriptors written in SDDL, and owner-only
// descriptors for named objects.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "fw/handles.h"

namespace vnk::fw {

// A copy of the user SID of a process's token; empty when the process or
// its token cannot be opened for that.
std::vector<BYTE> UserSidOf(HANDLE process);
// The user SID of this process.
const std::vector<BYTE>& CurrentUserSid();
// "S-1-5-21-..."; empty for an invalid SID.
std::wstring SidText(const std::vector<BYTE>& sid);

// A security descriptor made from SDDL text, with the attributes that
// hand it to a Create... function.
class SecurityDescriptor {
public:
    SecurityDescriptor() = default;
    explicit SecurityDescriptor(const std::wstring& sddl);
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_descriptor); }
    // Null when the descriptor could not be made: the caller decides
    // whether to go on without it.
    SECURITY_ATTRIBUTES* Attributes();
    PACL Dacl() const;

private:
    UniqueLocalMemory m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{};
};

// Full access for this process's user and SYSTEM, none for anybody else,
// nothing inherited.
std::wstring OwnerOnlySddl();

// The security attributes with which the framework starts a thread whose
// starter names none; null (the token's default) until the program sets
// them. The attributes must live as long as threads may start.
void SetDefaultThreadSecurity(SECURITY_ATTRIBUTES* attributes);
SECURITY_ATTRIBUTES* DefaultThreadSecurity();

}  // namespace vnk::fw
