// The client end of the simulator's wire (sim/pipe_wire.h): connecting as
// the simulator's own user, one transaction per call, and the device seam
// bound to it.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

#include "engine/device_seam.h"
#include "sim/pipe_wire.h"

namespace vnk::sim {

// Whether the process serving a connected pipe runs as `user` (a SID): a
// pipe of the simulator's name served by anybody else would be handed
// passphrases. ERROR_SUCCESS, or ERROR_ACCESS_DENIED for a server of
// another user or one that cannot be told.
DWORD CheckPipeServer(HANDLE pipe, const std::vector<BYTE>& user);

struct PipeTimeouts {
    DWORD connectMs = 2000;   // waiting for a free pipe instance
    DWORD exchangeMs = 5000;  // sending the request and reading the answer
};

// Opens a connection in message mode for overlapped I/O, waiting at most
// `timeoutMs` for a free instance. The server may identify the caller but
// not act as it, and must run as the caller's user. An empty handle on
// failure, with the reason in `error`.
vnk::fw::UniqueHandle ConnectToSimulator(const std::wstring& pipePath, DWORD timeoutMs, DWORD& error);

// One request message and its answer on a connection, in one transaction.
// ERROR_SEM_TIMEOUT after `timeoutMs`; an answer longer than `maxAnswer`
// fails with ERROR_MORE_DATA and leaves the connection unusable.
DWORD Transact(HANDLE pipe, std::span<const BYTE> request, std::vector<BYTE>& answer, std::size_t maxAnswer,
               DWORD timeoutMs);

// One request/response exchange on a fresh connection. Returns
// ERROR_SUCCESS or the transport's error: ERROR_FILE_NOT_FOUND when no
// simulator serves the pipe, ERROR_SEM_TIMEOUT when it does not answer in
// time, ERROR_INVALID_DATA for an answer that does not parse.
DWORD Exchange(const std::wstring& pipePath, const Request& request, Response& response,
               PipeTimeouts timeouts = {});

// The device seam served by the simulator program. A call that fails in
// transport fails the way the Win32 call would: DriveType answers
// DRIVE_NO_ROOT_DIR, Open INVALID_HANDLE_VALUE and Control FALSE with the
// transport's error in GetLastError(). Each thread keeps its connection
// for its next calls; one that failed is dropped, and a kept one that the
// simulator closed meanwhile is replaced before the request goes.
class PipeDevice final : public DeviceSeam {
public:
    // An empty path makes every call fail with ERROR_INVALID_NAME.
    explicit PipeDevice(std::wstring pipePath, PipeTimeouts timeouts = {});

    UINT DriveType(const wchar_t* rootPath) override;
    HANDLE Open(const wchar_t* devicePath, DWORD flagsAndAttributes) override;
    BOOL Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned) override;
    void Close(HANDLE device) override;

private:
    DWORD Call(const Request& request, Response& response) const;

    const std::wstring m_pipePath;
    const PipeTimeouts m_timeouts;
};

}  // namespace vnk::sim
