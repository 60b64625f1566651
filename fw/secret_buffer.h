// Memory for a secret: pages of its own, locked in RAM so that they are
// never written to the page file, kept out of crash dumps where the system
// offers that, and wiped before they are unlocked and released.
#pragma once

#include <windows.h>

#include <cstddef>

namespace vnk::fw {

class SecretBuffer {
public:
    // At least `bytes` bytes, all zero; an empty buffer (false) when the
    // system gave no memory.
    explicit SecretBuffer(size_t bytes);
    ~SecretBuffer();
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    explicit operator bool() const { return m_memory != nullptr; }
    void* data() const { return m_memory; }
    size_t size() const { return m_size; }
    void Wipe() const;

private:
    void* m_memory = nullptr;
    size_t m_size = 0;
    bool m_locked = false;
    bool m_excluded = false;
};

// Clears the calling thread's vector registers. The copies a thread makes
// of a secret pass through them and stay there after the copy; a crash
// dump, and under Wine a signal that comes to the thread, writes them to
// memory. Called wherever a secret is wiped, on the thread that used it.
void ClearVectorRegisters();

}  // namespace vnk::fw
