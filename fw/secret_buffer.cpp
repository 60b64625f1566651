#include "fw/secret_buffer.h"

#include "fw/system_function.h"

namespace vnk::fw {

namespace {

// Windows 8 and later have these in kernel32; older systems and Wine may not.
using RegisterExcludedFn = HRESULT(WINAPI*)(const void* address, DWORD size);
using UnregisterExcludedFn = HRESULT(WINAPI*)(const void* address);

size_t WholePages(size_t bytes) {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    const size_t page = info.dwPageSize != 0 ? info.dwPageSize : 4096;
    return (bytes + page - 1) / page * page;
}

}  // namespace

SecretBuffer::SecretBuffer(size_t bytes) {
    const size_t size = WholePages(bytes == 0 ? 1 : bytes);
    m_memory = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (m_memory == nullptr) return;
    m_size = size;
    m_locked = ::VirtualLock(m_memory, m_size) != FALSE;
    if (!m_locked) ::OutputDebugStringW(L"fw: SecretBuffer: the pages could not be locked\n");
    if (const auto exclude =
            OptionalSystemFunction<RegisterExcludedFn>(L"kernel32.dll", "WerRegisterExcludedMemoryBlock"))
        m_excluded = SUCCEEDED(exclude(m_memory, static_cast<DWORD>(m_size)));
    if (!m_excluded) ::OutputDebugStringW(L"fw: SecretBuffer: the pages stay in crash dumps\n");
}

SecretBuffer::~SecretBuffer() {
    if (m_memory == nullptr) return;
    Wipe();
    if (m_excluded) {
        if (const auto include =
                OptionalSystemFunction<UnregisterExcludedFn>(L"kernel32.dll", "WerUnregisterExcludedMemoryBlock"))
            include(m_memory);
    }
    if (m_locked) ::VirtualUnlock(m_memory, m_size);
    ::VirtualFree(m_memory, 0, MEM_RELEASE);
}

void SecretBuffer::Wipe() const {
    if (m_memory != nullptr) ::SecureZeroMemory(m_memory, m_size);
}

}  // namespace vnk::fw
