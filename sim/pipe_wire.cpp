#include "sim/pipe_wire.h"

#include <cstring>

namespace vnk::sim {

namespace {

constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";
constexpr wchar_t kDefaultPipeName[] = L"VarnokSimulator";
constexpr std::size_t kMaxPipeNameUnits = 200;

#pragma pack(push, 1)
struct DriveRecord {
    std::uint32_t letter, driveType, present, disc, status, announced, volumeLocked, heldByOtherProgram, logins,
        ejects, dismounts, announcements, withdrawals;
};
struct CallInProgressRecord {
    std::uint32_t letter, kind, msSoFar, stalled;
};
#pragma pack(pop)
static_assert(sizeof(DriveRecord) == 13 * 4 && sizeof(CallInProgressRecord) == 4 * 4, "records of u32 fields only");

bool KnownOp(DWORD op) {
    return (op >= static_cast<DWORD>(Op::DriveType) && op <= static_cast<DWORD>(Op::Close)) ||
           (op >= static_cast<DWORD>(Op::List) && op <= static_cast<DWORD>(Op::Calls));
}

void Append(std::vector<BYTE>& to, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const BYTE*>(data);
    to.insert(to.end(), bytes, bytes + size);
}

// Records of a fixed size, all of them checked by `valid`.
template <class Record, class Valid>
std::optional<std::vector<Record>> RecordsOf(std::span<const BYTE> data, Valid valid) {
    if (data.size() % sizeof(Record) != 0) return std::nullopt;
    std::vector<Record> records(data.size() / sizeof(Record));
    if (!data.empty()) std::memcpy(records.data(), data.data(), data.size());
    for (const Record& r : records)
        if (!valid(r)) return std::nullopt;
    return records;
}

}  // namespace

std::vector<BYTE> EncodeRequest(const Request& request) {
    const RequestHeader header{static_cast<std::uint32_t>(request.op),
                               request.letter,
                               request.handle,
                               request.code,
                               request.error,
                               request.count,
                               request.outSize,
                               static_cast<std::uint32_t>(request.text.size()),
                               static_cast<std::uint32_t>(request.input.size())};
    std::vector<BYTE> message;
    message.reserve(sizeof header + request.text.size() * sizeof(wchar_t) + request.input.size());
    Append(message, &header, sizeof header);
    Append(message, request.text.data(), request.text.size() * sizeof(wchar_t));
    Append(message, request.input.data(), request.input.size());
    return message;
}

void WipeRequest(Request& request) {
    ::SecureZeroMemory(request.text.data(), request.text.size() * sizeof(wchar_t));
    ::SecureZeroMemory(request.input.data(), request.input.size());
}

std::optional<Request> DecodeRequest(std::span<const BYTE> message) {
    RequestHeader h{};
    if (message.size() < sizeof h || message.size() > kMaxRequestBytes) return std::nullopt;
    std::memcpy(&h, message.data(), sizeof h);
    if (!KnownOp(h.op) || h.letter > 0xFFFF || h.textUnits > kMaxTextUnits || h.inputBytes > kMaxDataBytes ||
        h.outSize > kMaxDataBytes || message.size() != sizeof h + std::size_t{h.textUnits} * 2 + h.inputBytes)
        return std::nullopt;
    Request request;
    request.op = static_cast<Op>(h.op);
    request.letter = static_cast<wchar_t>(h.letter);
    request.handle = h.handle;
    request.code = h.code;
    request.error = h.error;
    request.count = h.count;
    request.outSize = h.outSize;
    const auto text = message.subspan(sizeof h, std::size_t{h.textUnits} * 2);
    const auto input = message.subspan(sizeof h + text.size());
    request.text.resize(h.textUnits);
    if (!text.empty()) std::memcpy(request.text.data(), text.data(), text.size());
    request.input.assign(input.begin(), input.end());
    return request;
}

std::vector<BYTE> EncodeResponse(const Response& response) {
    const AnswerHeader header{response.result, response.error, response.value,
                              static_cast<std::uint32_t>(response.data.size())};
    std::vector<BYTE> message;
    message.reserve(sizeof header + response.data.size());
    Append(message, &header, sizeof header);
    Append(message, response.data.data(), response.data.size());
    return message;
}

std::optional<Response> DecodeResponse(std::span<const BYTE> message) {
    AnswerHeader h{};
    if (message.size() < sizeof h || message.size() > kMaxAnswerBytes) return std::nullopt;
    std::memcpy(&h, message.data(), sizeof h);
    if (message.size() != sizeof h + std::size_t{h.dataBytes}) return std::nullopt;
    Response response;
    response.result = h.result;
    response.error = h.error;
    response.value = h.value;
    const auto data = message.subspan(sizeof h);
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
    std::vector<BYTE> data;
    data.reserve(drives.size() * sizeof(DriveRecord));
    for (const DriveState& d : drives) {
        const DriveRecord r{d.letter,       d.driveType,          d.present,     static_cast<std::uint32_t>(d.disc),
                            d.status,       d.announced,          d.volumeLocked, d.heldByOtherProgram,
                            d.logins,       d.ejects,             d.dismounts,   d.announcements,
                            d.withdrawals};
        Append(data, &r, sizeof r);
    }
    return data;
}

std::optional<std::vector<DriveState>> DecodeDriveList(std::span<const BYTE> data) {
    const auto records = RecordsOf<DriveRecord>(data, [](const DriveRecord& r) {
        return r.letter >= L'A' && r.letter <= L'Z' && r.disc <= static_cast<std::uint32_t>(Disc::Encrypted);
    });
    if (!records) return std::nullopt;
    std::vector<DriveState> drives(records->size());
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const DriveRecord& r = (*records)[i];
        DriveState& d = drives[i];
        d.letter = static_cast<wchar_t>(r.letter);
        d.driveType = r.driveType;
        d.present = r.present != 0;
        d.disc = static_cast<Disc>(r.disc);
        d.status = r.status;
        d.announced = r.announced != 0;
        d.volumeLocked = r.volumeLocked != 0;
        d.heldByOtherProgram = r.heldByOtherProgram != 0;
        d.logins = r.logins;
        d.ejects = r.ejects;
        d.dismounts = r.dismounts;
        d.announcements = r.announcements;
        d.withdrawals = r.withdrawals;
    }
    return drives;
}

std::vector<BYTE> EncodeCallList(const std::vector<CallShown>& calls) {
    std::vector<BYTE> data;
    data.reserve(calls.size() * sizeof(CallInProgressRecord));
    for (const CallShown& c : calls) {
        const CallInProgressRecord r{c.drive, static_cast<std::uint32_t>(c.kind), c.msSoFar, c.stalled ? 1u : 0u};
        Append(data, &r, sizeof r);
    }
    return data;
}

std::optional<std::vector<CallShown>> DecodeCallList(std::span<const BYTE> data) {
    const auto records = RecordsOf<CallInProgressRecord>(data, [](const CallInProgressRecord& r) {
        return r.letter >= L'A' && r.letter <= L'Z' && r.kind < kFaultNames.size() && r.stalled <= 1;
    });
    if (!records) return std::nullopt;
    std::vector<CallShown> calls;
    calls.reserve(records->size());
    for (const CallInProgressRecord& r : *records)
        calls.push_back({static_cast<wchar_t>(r.letter), static_cast<Fault>(r.kind), r.msSoFar, r.stalled != 0});
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

DWORD FinishIo(HANDLE pipe, OVERLAPPED& ov, BOOL started, HANDLE cancel, DWORD timeoutMs, DWORD& moved) {
    moved = 0;
    if (!started) {
        if (::GetLastError() != ERROR_IO_PENDING) return ::GetLastError();
        const HANDLE waits[2] = {ov.hEvent, cancel};
        const DWORD woke = ::WaitForMultipleObjects(cancel != nullptr ? 2 : 1, waits, FALSE, timeoutMs);
        if (woke != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, &ov);
            ::GetOverlappedResult(pipe, &ov, &moved, TRUE);  // the I/O owns `ov` until it ends
            moved = 0;
            return woke == WAIT_TIMEOUT ? ERROR_SEM_TIMEOUT : ERROR_OPERATION_ABORTED;
        }
    }
    return ::GetOverlappedResult(pipe, &ov, &moved, FALSE) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD ReadMessage(HANDLE pipe, std::vector<BYTE>& message, std::size_t maxBytes, HANDLE cancel, DWORD timeoutMs) {
    message.assign(maxBytes, 0);
    DWORD moved = 0;
    const DWORD error = RunIo(pipe, cancel, timeoutMs, moved, [&](OVERLAPPED* ov) {
        return ::ReadFile(pipe, message.data(), static_cast<DWORD>(maxBytes), nullptr, ov);
    });
    if (error != ERROR_SUCCESS) {
        ::SecureZeroMemory(message.data(), message.size());  // a part of a request may have come
        moved = 0;
    }
    message.resize(moved);
    return error;
}

DWORD WriteMessage(HANDLE pipe, std::span<const BYTE> message, HANDLE cancel, DWORD timeoutMs) {
    DWORD moved = 0;
    const DWORD error = RunIo(pipe, cancel, timeoutMs, moved, [&](OVERLAPPED* ov) {
        return ::WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, ov);
    });
    if (error == ERROR_SUCCESS && moved != message.size()) return ERROR_BROKEN_PIPE;
    return error;
}

}  // namespace vnk::sim
