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
    ClearVectorRegisters();
}

void ClearVectorRegisters() {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define VNK_CLEAR_XMM                                                                             \
    "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t" \
    "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7"
#if defined(__x86_64__)
    asm volatile(VNK_CLEAR_XMM ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
#else
    // The 32-bit build makes no SSE code of its own (the system's copies
    // do), so nothing of the compiler's lives in these registers.
    asm volatile(VNK_CLEAR_XMM ::: "memory");
#endif
#undef VNK_CLEAR_XMM
#endif
}

}  // namespace vnk::fw
