#include "sim/pipe_protocol.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "fw/handles.h"
#include "fw/security.h"

namespace vnk::sim {

namespace {

constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";
constexpr wchar_t kDefaultPipeName[] = L"VarnokSimulator";
constexpr std::size_t kMaxPipeNameUnits = 200;
constexpr std::size_t kDriveRecordFields = 13;
constexpr std::size_t kDriveRecordBytes = kDriveRecordFields * 4;
constexpr std::size_t kCallRecordBytes = 4 * 4;

class Writer {
public:
    explicit Writer(std::size_t reserve) { m_bytes.reserve(reserve); }
    template <class T>
    void Put(T value) {
        BYTE raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        m_bytes.insert(m_bytes.end(), raw, raw + sizeof(T));
    }
    void PutBytes(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const BYTE*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }
    std::vector<BYTE> Take() { return std::move(m_bytes); }

private:
    std::vector<BYTE> m_bytes;
};

// Reads fields front to back; any read past the end spoils the reader.
class Reader {
public:
    explicit Reader(std::span<const BYTE> bytes) : m_bytes(bytes) {}
    template <class T>
    T Get() {
        T value{};
        if (Fits(sizeof(T))) std::memcpy(&value, m_bytes.data() + m_offset, sizeof(T));
        m_offset += sizeof(T);
        return value;
    }
    std::span<const BYTE> GetBytes(std::size_t size) {
        if (!Fits(size)) {
            m_offset = m_bytes.size() + 1;
            return {};
        }
        auto part = m_bytes.subspan(m_offset, size);
        m_offset += size;
        return part;
    }
    bool Fits(std::size_t size) const { return m_offset <= m_bytes.size() && size <= m_bytes.size() - m_offset; }
    bool AtEnd() const { return m_offset == m_bytes.size(); }

private:
    std::span<const BYTE> m_bytes;
    std::size_t m_offset = 0;
};

bool KnownOp(DWORD op) {
    return (op >= static_cast<DWORD>(Op::DriveType) && op <= static_cast<DWORD>(Op::Close)) ||
           (op >= static_cast<DWORD>(Op::List) && op <= static_cast<DWORD>(Op::Calls));
}

// Passphrases travel in these buffers: wipe them once they are done with.
void Scrub(std::vector<BYTE>& bytes) { ::SecureZeroMemory(bytes.data(), bytes.size()); }

}  // namespace

std::vector<BYTE> EncodeRequest(const Request& request) {
    Writer w(kRequestHeaderBytes + request.text.size() * 2 + request.input.size());
    w.Put<std::uint32_t>(static_cast<std::uint32_t>(request.op));
    w.Put<std::uint32_t>(request.letter);
    w.Put<std::uint64_t>(request.handle);
    w.Put<std::uint32_t>(request.code);
    w.Put<std::uint32_t>(request.error);
    w.Put<std::uint32_t>(request.count);
    w.Put<std::uint32_t>(request.outSize);
    w.Put<std::uint32_t>(static_cast<std::uint32_t>(request.text.size()));
    w.Put<std::uint32_t>(static_cast<std::uint32_t>(request.input.size()));
    w.PutBytes(request.text.data(), request.text.size() * sizeof(wchar_t));
    w.PutBytes(request.input.data(), request.input.size());
    return w.Take();
}

void WipeRequest(Request& request) {
    ::SecureZeroMemory(request.text.data(), request.text.size() * sizeof(wchar_t));
    Scrub(request.input);
}

std::optional<Request> DecodeRequest(std::span<const BYTE> body) {
    if (body.size() < kRequestHeaderBytes || body.size() > kMaxFrameBytes) return std::nullopt;
    Reader r(body);
    Request request;
    const auto op = r.Get<std::uint32_t>();
    const auto letter = r.Get<std::uint32_t>();
    request.handle = r.Get<std::uint64_t>();
    request.code = r.Get<std::uint32_t>();
    request.error = r.Get<std::uint32_t>();
    request.count = r.Get<std::uint32_t>();
    request.outSize = r.Get<std::uint32_t>();
    const auto textUnits = r.Get<std::uint32_t>();
    const auto inputBytes = r.Get<std::uint32_t>();
    if (!KnownOp(op) || letter > 0xFFFF || textUnits > kMaxTextUnits || inputBytes > kMaxDataBytes ||
        request.outSize > kMaxDataBytes)
        return std::nullopt;
    request.op = static_cast<Op>(op);
    request.letter = static_cast<wchar_t>(letter);
    const auto text = r.GetBytes(std::size_t{textUnits} * 2);
    const auto input = r.GetBytes(inputBytes);
    if (!r.AtEnd()) return std::nullopt;
    request.text.resize(textUnits);
    if (!text.empty()) std::memcpy(request.text.data(), text.data(), text.size());
    request.input.assign(input.begin(), input.end());
    return request;
}

std::vector<BYTE> EncodeResponse(const Response& response) {
    Writer w(kResponseHeaderBytes + response.data.size());
    w.Put<std::uint32_t>(response.result);
    w.Put<std::uint32_t>(response.error);
    w.Put<std::uint64_t>(response.value);
    w.Put<std::uint32_t>(static_cast<std::uint32_t>(response.data.size()));
    w.PutBytes(response.data.data(), response.data.size());
    return w.Take();
}

std::optional<Response> DecodeResponse(std::span<const BYTE> body) {
    if (body.size() < kResponseHeaderBytes || body.size() > kResponseHeaderBytes + kMaxDataBytes)
        return std::nullopt;
    Reader r(body);
    Response response;
    response.result = r.Get<std::uint32_t>();
    response.error = r.Get<std::uint32_t>();
    response.value = r.Get<std::uint64_t>();
    const auto dataBytes = r.Get<std::uint32_t>();
    const auto data = r.GetBytes(dataBytes);
    if (!r.AtEnd()) return std::nullopt;
    response.data.assign(data.begin(), data.end());
    return response;
}

Response Refusal(DWORD error, std::string_view why) {
    Response response;
    response.error = error;
    response.data.assign(why.begin(), why.end());
    return response;
}

std::string RefusalText(const Response& response) {
    if (response.result != 0) return {};
    return std::string(response.data.begin(), response.data.end());
}

std::vector<BYTE> EncodeDriveList(const std::vector<DriveState>& drives) {
    Writer w(drives.size() * kDriveRecordBytes);
    for (const DriveState& d : drives) {
        const std::uint32_t fields[kDriveRecordFields] = {
            d.letter,       d.driveType,    d.present,          static_cast<std::uint32_t>(d.disc),
            d.status,       d.announced,    d.volumeLocked,     d.heldByOtherProgram,
            d.logins,       d.ejects,       d.dismounts,        d.announcements,
            d.withdrawals};
        for (std::uint32_t field : fields) w.Put(field);
    }
    return w.Take();
}

std::optional<std::vector<DriveState>> DecodeDriveList(std::span<const BYTE> data) {
    if (data.size() % kDriveRecordBytes != 0) return std::nullopt;
    Reader r(data);
    std::vector<DriveState> drives(data.size() / kDriveRecordBytes);
    for (DriveState& d : drives) {
        const auto letter = r.Get<std::uint32_t>();
        d.driveType = r.Get<std::uint32_t>();
        d.present = r.Get<std::uint32_t>() != 0;
        const auto disc = r.Get<std::uint32_t>();
        d.status = r.Get<std::uint32_t>();
        d.announced = r.Get<std::uint32_t>() != 0;
        d.volumeLocked = r.Get<std::uint32_t>() != 0;
        d.heldByOtherProgram = r.Get<std::uint32_t>() != 0;
        d.logins = r.Get<std::uint32_t>();
        d.ejects = r.Get<std::uint32_t>();
        d.dismounts = r.Get<std::uint32_t>();
        d.announcements = r.Get<std::uint32_t>();
        d.withdrawals = r.Get<std::uint32_t>();
        if (letter < L'A' || letter > L'Z' || disc > static_cast<std::uint32_t>(Disc::Encrypted))
            return std::nullopt;
        d.letter = static_cast<wchar_t>(letter);
        d.disc = static_cast<Disc>(disc);
    }
    return drives;
}

std::vector<BYTE> EncodeCallList(const std::vector<CallShown>& calls) {
    Writer w(calls.size() * kCallRecordBytes);
    for (const CallShown& c : calls) {
        w.Put<std::uint32_t>(c.drive);
        w.Put<std::uint32_t>(static_cast<std::uint32_t>(c.kind));
        w.Put<std::uint32_t>(c.msSoFar);
        w.Put<std::uint32_t>(c.stalled ? 1 : 0);
    }
    return w.Take();
}

std::optional<std::vector<CallShown>> DecodeCallList(std::span<const BYTE> data) {
    if (data.size() % kCallRecordBytes != 0) return std::nullopt;
    Reader r(data);
    std::vector<CallShown> calls(data.size() / kCallRecordBytes);
    for (CallShown& c : calls) {
        const auto letter = r.Get<std::uint32_t>();
        const auto kind = r.Get<std::uint32_t>();
        c.msSoFar = r.Get<std::uint32_t>();
        const auto stalled = r.Get<std::uint32_t>();
        if (letter < L'A' || letter > L'Z' || kind >= kFaultNames.size() || stalled > 1) return std::nullopt;
        c.drive = static_cast<wchar_t>(letter);
        c.kind = static_cast<Fault>(kind);
        c.stalled = stalled != 0;
    }
    return calls;
}

std::optional<Fault> FaultFromName(std::wstring_view name) {
    for (std::size_t i = 0; i < kFaultNames.size(); ++i)
        if (kFaultNames[i] == name) return static_cast<Fault>(i);
    return std::nullopt;
}

std::optional<std::wstring> SimulatorPipePath() {
    wchar_t name[kMaxPipeNameUnits + 2] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"VARNOK_SIM_PIPE", name, static_cast<DWORD>(std::size(name)));
    if (length == 0) return std::wstring(kPipePrefix) + kDefaultPipeName;
    // Over-long (the call then answers the size it needs) or with a
    // backslash, it would name another pipe than the one meant.
    if (length > kMaxPipeNameUnits) return std::nullopt;
    const std::wstring_view given(name, length);
    if (given.find(L'\\') != std::wstring_view::npos) return std::nullopt;
    return std::wstring(kPipePrefix) + std::wstring(given);
}

namespace {

// Object names take no backslashes: the pipe's own name follows the prefix.
std::wstring BareName(const std::wstring& pipePath) {
    const std::size_t prefix = std::wcslen(kPipePrefix);
    return pipePath.size() > prefix ? pipePath.substr(prefix) : pipePath;
}

}  // namespace

std::wstring ReadyEventName(const std::wstring& pipePath) { return L"VarnokSimulatorReady-" + BareName(pipePath); }

std::wstring InstanceMarkerName(const std::wstring& pipePath) {
    return L"VarnokSimulatorInstance-" + BareName(pipePath);
}

namespace {

// Moves all of `size` bytes in or out with overlapped I/O, so that a peer
// that stops reading or writing cannot hold the caller longer than the
// deadline or past `cancel`. `done` is the manual-reset event each part
// signals; a part that completes at once is not waited for, which saves a
// round trip to the system per part (the common case: the answer is
// already there, or there is room for what is written).
DWORD TransferAll(HANDLE pipe, bool write, BYTE* data, std::size_t size, HANDLE done, HANDLE cancel,
                  ULONGLONG deadline) {
    std::size_t moved = 0;
    while (moved < size) {
        OVERLAPPED ov{};
        ov.hEvent = done;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - moved, kMaxFrameBytes));
        const BOOL completed = write ? ::WriteFile(pipe, data + moved, chunk, nullptr, &ov)
                                     : ::ReadFile(pipe, data + moved, chunk, nullptr, &ov);
        if (!completed) {
            if (::GetLastError() != ERROR_IO_PENDING) return ::GetLastError();
            const ULONGLONG now = ::GetTickCount64();
            const DWORD wait =
                deadline == INFINITE ? INFINITE : static_cast<DWORD>(deadline > now ? deadline - now : 0);
            const HANDLE waits[2] = {done, cancel};
            const DWORD woke = ::WaitForMultipleObjects(cancel != nullptr ? 2 : 1, waits, FALSE, wait);
            if (woke != WAIT_OBJECT_0) {
                DWORD ignored = 0;
                ::CancelIoEx(pipe, &ov);
                ::GetOverlappedResult(pipe, &ov, &ignored, TRUE);
                return woke == WAIT_TIMEOUT ? ERROR_SEM_TIMEOUT : ERROR_OPERATION_ABORTED;
            }
        }
        DWORD transferred = 0;
        if (!::GetOverlappedResult(pipe, &ov, &transferred, FALSE)) return ::GetLastError();
        if (transferred == 0) return ERROR_BROKEN_PIPE;
        moved += transferred;
    }
    return ERROR_SUCCESS;
}

ULONGLONG DeadlineAfter(DWORD timeoutMs) {
    return timeoutMs == INFINITE ? INFINITE : ::GetTickCount64() + timeoutMs;
}

}  // namespace

TransferEvent::TransferEvent() : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

DWORD WriteFrame(HANDLE pipe, std::span<const BYTE> body, HANDLE cancel, DWORD timeoutMs) {
    const TransferEvent done;
    return WriteFrame(pipe, body, cancel, timeoutMs, done);
}

DWORD ReadFrame(HANDLE pipe, std::vector<BYTE>& body, HANDLE cancel, DWORD timeoutMs) {
    const TransferEvent done;
    return ReadFrame(pipe, body, cancel, timeoutMs, done);
}

DWORD WriteFrame(HANDLE pipe, std::span<const BYTE> body, HANDLE cancel, DWORD timeoutMs, const TransferEvent& done) {
    if (!done) return ERROR_NOT_ENOUGH_MEMORY;
    std::vector<BYTE> frame(4 + body.size());
    const auto length = static_cast<std::uint32_t>(body.size());
    std::memcpy(frame.data(), &length, 4);
    if (!body.empty()) std::memcpy(frame.data() + 4, body.data(), body.size());
    const DWORD error =
        TransferAll(pipe, true, frame.data(), frame.size(), done.get(), cancel, DeadlineAfter(timeoutMs));
    Scrub(frame);
    return error;
}

DWORD ReadFrame(HANDLE pipe, std::vector<BYTE>& body, HANDLE cancel, DWORD timeoutMs, const TransferEvent& done) {
    if (!done) return ERROR_NOT_ENOUGH_MEMORY;
    const ULONGLONG deadline = DeadlineAfter(timeoutMs);
    std::uint32_t length = 0;
    if (DWORD error = TransferAll(pipe, false, reinterpret_cast<BYTE*>(&length), 4, done.get(), cancel, deadline))
        return error;
    if (length > kMaxFrameBytes) return ERROR_INVALID_DATA;
    body.assign(length, 0);
    return TransferAll(pipe, false, body.data(), body.size(), done.get(), cancel, deadline);
}

namespace {

// Opens a connection, waiting a short while when every instance is busy.
// The server may identify us but not act as us, and must be of our user.
vnk::fw::UniqueHandle Connect(const std::wstring& pipePath, DWORD timeoutMs, DWORD& error) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        vnk::fw::UniqueHandle pipe(::CreateFileW(pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                            nullptr));
        if (pipe) {
            error = CheckPipeServer(pipe.get(), vnk::fw::CurrentUserSid());
            if (error != ERROR_SUCCESS) return {};
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

}  // namespace

DWORD CheckPipeServer(HANDLE pipe, const std::vector<BYTE>& user) {
    ULONG serverId = 0;
    if (user.empty() || !::GetNamedPipeServerProcessId(pipe, &serverId)) return ERROR_ACCESS_DENIED;
    const vnk::fw::UniqueHandle server(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverId));
    if (!server) return ERROR_ACCESS_DENIED;
    return vnk::fw::UserSidOf(server.get()) == user ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

namespace {

// One request and its answer on an open connection. `sent` tells whether
// the request went out whole, so that the simulator may have acted on it.
DWORD ExchangeOn(HANDLE pipe, const TransferEvent& done, const Request& request, Response& response,
                 PipeTimeouts timeouts, bool& sent) {
    sent = false;
    WipedVector<BYTE> frame{EncodeRequest(request)};
    std::vector<BYTE>& body = frame.bytes;
    const ULONGLONG start = ::GetTickCount64();
    DWORD error = WriteFrame(pipe, body, nullptr, timeouts.exchangeMs, done);
    Scrub(body);
    if (error != ERROR_SUCCESS) return error;
    sent = true;
    const ULONGLONG spent = ::GetTickCount64() - start;
    const DWORD left = spent >= timeouts.exchangeMs ? 0 : static_cast<DWORD>(timeouts.exchangeMs - spent);
    error = ReadFrame(pipe, body, nullptr, left, done);
    if (error != ERROR_SUCCESS) return error;
    auto decoded = DecodeResponse(body);
    Scrub(body);
    if (!decoded) return ERROR_INVALID_DATA;
    response = std::move(*decoded);
    return ERROR_SUCCESS;
}

// The connection a thread keeps to the simulator: each new connection
// costs the simulator a thread of its own, and the device seam is called
// many times in a row (a probe makes about fifty calls). Per thread, so
// that no thread ever waits behind another one.
struct KeptConnection {
    std::wstring pipePath;
    vnk::fw::UniqueHandle pipe;
    TransferEvent done;
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
    vnk::fw::UniqueHandle pipe = Connect(pipePath, timeouts.connectMs, error);
    if (!pipe) return error;
    const TransferEvent done;
    bool sent = false;
    return ExchangeOn(pipe.get(), done, request, response, timeouts, sent);
}

PipeDevice::PipeDevice(std::wstring pipePath, PipeTimeouts timeouts)
    : m_pipePath(std::move(pipePath)), m_timeouts(timeouts) {}

DWORD PipeDevice::Call(const Request& request, Response& response) const {
    if (m_pipePath.empty()) return ERROR_INVALID_NAME;
    KeptConnection* kept = ThisThreadsConnection();
    if (kept == nullptr || !kept->done) return Exchange(m_pipePath, request, response, m_timeouts);
    if (kept->pipe && kept->pipePath != m_pipePath) kept->pipe.reset();
    // A kept connection that the simulator has closed since (it ended, or
    // another one serves the pipe now) fails before the request is out; the
    // request then goes once more, on a fresh connection.
    for (bool fresh = !kept->pipe;; fresh = true) {
        DWORD error = ERROR_SUCCESS;
        if (!kept->pipe) {
            kept->pipe = Connect(m_pipePath, m_timeouts.connectMs, error);
            if (!kept->pipe) return error;
            kept->pipePath = m_pipePath;
        }
        bool sent = false;
        error = ExchangeOn(kept->pipe.get(), kept->done, request, response, m_timeouts, sent);
        if (error == ERROR_SUCCESS) return error;
        // An answer may still be on its way: the connection cannot be
        // trusted for the next request.
        kept->pipe.reset();
        if (fresh || sent) return error;
    }
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
