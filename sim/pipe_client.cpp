#include "sim/pipe_client.h"

#include <cstring>
#include <memory>

#include "fw/handles.h"
#include "fw/security.h"

namespace vnk::sim {

vnk::fw::UniqueHandle ConnectToSimulator(const std::wstring& pipePath, DWORD timeoutMs, DWORD& error) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        vnk::fw::UniqueHandle pipe(::CreateFileW(pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                 OPEN_EXISTING,
                                                 FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                                 nullptr));
        if (pipe) {
            error = CheckPipeServer(pipe.get(), vnk::fw::CurrentUserSid());
            if (error != ERROR_SUCCESS) return {};
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
                error = ::GetLastError();
                return {};
            }
            return pipe;
        }
        error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY) return {};
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            error = ERROR_SEM_TIMEOUT;
            return {};
        }
        if (!::WaitNamedPipeW(pipePath.c_str(), static_cast<DWORD>(deadline - now))) {
            error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) return {};
        }
    }
}

DWORD CheckPipeServer(HANDLE pipe, const std::vector<BYTE>& user) {
    ULONG serverId = 0;
    if (user.empty() || !::GetNamedPipeServerProcessId(pipe, &serverId)) return ERROR_ACCESS_DENIED;
    const vnk::fw::UniqueHandle server(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverId));
    if (!server) return ERROR_ACCESS_DENIED;
    return vnk::fw::UserSidOf(server.get()) == user ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD Transact(HANDLE pipe, std::span<const BYTE> request, std::vector<BYTE>& answer, std::size_t maxAnswer,
               DWORD timeoutMs) {
    answer.assign(maxAnswer, 0);
    DWORD moved = 0;
    const DWORD error = RunIo(pipe, nullptr, timeoutMs, moved, [&](OVERLAPPED* ov) {
        return ::TransactNamedPipe(pipe, const_cast<BYTE*>(request.data()), static_cast<DWORD>(request.size()),
                                   answer.data(), static_cast<DWORD>(maxAnswer), nullptr, ov);
    });
    if (error != ERROR_SUCCESS) {
        ::SecureZeroMemory(answer.data(), answer.size());
        moved = 0;
    }
    answer.resize(moved);
    return error;
}

namespace {

// One request and its answer on an open connection.
DWORD ExchangeOn(HANDLE pipe, const Request& request, Response& response, DWORD timeoutMs) {
    const WipedVector<BYTE> sent{EncodeRequest(request)};
    WipedVector<BYTE> answer;
    const DWORD error = Transact(pipe, sent.bytes, answer.bytes, kMaxAnswerBytes, timeoutMs);
    // The rest of an over-long answer is left in the pipe: the server is broken.
    if (error == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
    if (error != ERROR_SUCCESS) return error;
    auto decoded = DecodeResponse(answer.bytes);
    if (!decoded) return ERROR_INVALID_DATA;
    response = std::move(*decoded);
    return ERROR_SUCCESS;
}

// Whether the simulator has closed its end of a kept connection since its
// last use (it ended, or another one serves the pipe now).
bool StillOpen(HANDLE pipe) { return ::PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr) != FALSE; }

// The connection a thread keeps to the simulator: each new connection
// costs the simulator a thread of its own, and the device seam is called
// many times in a row (a probe makes about fifty calls). Per thread, so
// that no thread ever waits behind another one.
struct KeptConnection {
    std::wstring pipePath;
    vnk::fw::UniqueHandle pipe;
};

// The fiber-local slot owns its thread's record and lets it go when the
// thread ends (a thread_local with a destructor could hang the process's
// exit in the runtime's own lock).
void WINAPI ReleaseKeptConnection(void* kept) {
    std::unique_ptr<KeptConnection> owned(static_cast<KeptConnection*>(kept));
}

KeptConnection* ThisThreadsConnection() {
    static const DWORD slot = ::FlsAlloc(ReleaseKeptConnection);
    if (slot == FLS_OUT_OF_INDEXES) return nullptr;
    auto* kept = static_cast<KeptConnection*>(::FlsGetValue(slot));
    if (kept != nullptr) return kept;
    auto fresh = std::make_unique<KeptConnection>();
    if (!::FlsSetValue(slot, fresh.get())) return nullptr;
    return fresh.release();  // the slot owns it now
}

}  // namespace

DWORD Exchange(const std::wstring& pipePath, const Request& request, Response& response, PipeTimeouts timeouts) {
    DWORD error = ERROR_SUCCESS;
    const vnk::fw::UniqueHandle pipe = ConnectToSimulator(pipePath, timeouts.connectMs, error);
    if (!pipe) return error;
    return ExchangeOn(pipe.get(), request, response, timeouts.exchangeMs);
}

PipeDevice::PipeDevice(std::wstring pipePath, PipeTimeouts timeouts)
    : m_pipePath(std::move(pipePath)), m_timeouts(timeouts) {}

DWORD PipeDevice::Call(const Request& request, Response& response) const {
    if (m_pipePath.empty()) return ERROR_INVALID_NAME;
    KeptConnection* kept = ThisThreadsConnection();
    if (kept == nullptr) return Exchange(m_pipePath, request, response, m_timeouts);
    if (kept->pipe && (kept->pipePath != m_pipePath || !StillOpen(kept->pipe.get()))) kept->pipe.reset();
    if (!kept->pipe) {
        DWORD error = ERROR_SUCCESS;
        kept->pipe = ConnectToSimulator(m_pipePath, m_timeouts.connectMs, error);
        if (!kept->pipe) return error;
        kept->pipePath = m_pipePath;
    }
    const DWORD error = ExchangeOn(kept->pipe.get(), request, response, m_timeouts.exchangeMs);
    // An answer may still be on its way, or the rest of one too long: the
    // connection cannot be trusted for the next request.
    if (error != ERROR_SUCCESS) kept->pipe.reset();
    return error;
}

UINT PipeDevice::DriveType(const wchar_t* rootPath) {
    Request request;
    request.op = Op::DriveType;
    request.text = rootPath != nullptr ? rootPath : L"";
    if (request.text.size() > kMaxTextUnits) return DRIVE_NO_ROOT_DIR;
    Response response;
    if (Call(request, response) != ERROR_SUCCESS) return DRIVE_NO_ROOT_DIR;
    return response.result;
}

HANDLE PipeDevice::Open(const wchar_t* devicePath, DWORD flagsAndAttributes) {
    Request request;
    request.op = Op::Open;
    request.text = devicePath != nullptr ? devicePath : L"";
    request.code = flagsAndAttributes;
    if (request.text.size() > kMaxTextUnits) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    Response response;
    DWORD error = Call(request, response);
    if (error == ERROR_SUCCESS && response.result == 0) error = response.error;
    // A handle this process cannot hold, or one that reads as "no handle",
    // would be mistaken for something else: the open fails.
    const auto value = static_cast<std::uintptr_t>(response.value);
    const auto handle = reinterpret_cast<HANDLE>(value);
    if (error == ERROR_SUCCESS &&
        (value != response.value || handle == nullptr || handle == INVALID_HANDLE_VALUE))
        error = ERROR_INVALID_HANDLE;
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL PipeDevice::Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned) {
    if (returned != nullptr) *returned = 0;
    if (inSize > kMaxDataBytes || outSize > kMaxDataBytes) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The input may be a passphrase.
    WipedRequest wiped{Request{}};
    Request& request = *wiped.request;
    request.op = Op::Control;
    request.handle = reinterpret_cast<std::uintptr_t>(device);
    request.code = code;
    request.outSize = out != nullptr ? outSize : 0;
    if (in != nullptr) {
        const auto* bytes = static_cast<const BYTE*>(in);
        request.input.assign(bytes, bytes + inSize);
    }
    Response response;
    DWORD error = Call(request, response);
    if (error == ERROR_SUCCESS && response.data.size() > request.outSize) error = ERROR_INVALID_DATA;
    if (error == ERROR_SUCCESS && response.result == 0) error = response.error;
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return FALSE;
    }
    if (!response.data.empty()) std::memcpy(out, response.data.data(), response.data.size());
    if (returned != nullptr) *returned = static_cast<DWORD>(response.data.size());
    return TRUE;
}

void PipeDevice::Close(HANDLE device) {
    Request request;
    request.op = Op::Close;
    request.handle = reinterpret_cast<std::uintptr_t>(device);
    Response response;
    Call(request, response);  // the seam's close has no result to give
}

}  // namespace vnk::sim
