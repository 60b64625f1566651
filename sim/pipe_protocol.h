// The simulator's wire: how the client's device seam and the control
// program reach the simulated drive bay in the simulator program.
//
// One local named pipe, \\.\pipe\VarnokSimulator unless the environment
// variable VARNOK_SIM_PIPE names another (a bare name, no backslashes), in
// byte mode. Each message is a frame: a 32-bit little-endian length, then
// that many bytes of body. A connection carries any number of
// request/response pairs; the pipe binding keeps one per client thread, so
// no client thread ever waits behind another one.
//
// Request body (all integers little-endian; fields an operation does not
// use are zero):
//   0  u32 op          4  u32 letter       8  u64 handle
//   16 u32 code        20 u32 error        24 u32 count
//   28 u32 outSize     32 u32 textUnits    36 u32 inputBytes
//   40 text (textUnits UTF-16 units), then input (inputBytes bytes)
// Response body:
//   0  u32 result      4  u32 error        8  u64 value
//   16 u32 dataBytes   20 data
// A body whose sizes do not add up, or that exceeds the limits below, is
// answered with result 0 and ERROR_INVALID_DATA; a frame longer than the
// limit is answered that way and the connection is closed, since the rest
// of it cannot be trusted.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device_seam.h"
#include "fw/handles.h"
#include "sim/sim_driver.h"

namespace vnk::sim {

enum class Op : std::uint32_t {
    // The device seam.
    DriveType = 1,  // text: root path             -> result: the drive type
    Open = 2,       // text: device path, code: flags -> result 1/0, error, value: handle
    Control = 3,    // handle, code, input, outSize -> result BOOL, error, data: output (its size is the count returned)
    Close = 4,      // handle                       -> result 1
    // The control program's commands. Each answers result 1, or result 0
    // with an error code and a UTF-8 explanation as data.
    List = 16,            // -> data: one DriveRecord per drive
    AddDrive = 17,        // letter, code: DRIVE_CDROM or DRIVE_FIXED
    RemoveDrive = 18,     // letter
    InsertPlain = 19,     // letter
    InsertEncrypted = 20, // letter, text: the passphrase
    Eject = 21,           // letter: the disc is taken out by hand
    Hold = 22,            // letter, code: 1 held by another program, 0 free
    Fail = 23,            // letter, code: a Fault, error, count
    Signal = 24,          // letter: signal the drive's announced event
    Quit = 25,            // end the simulator
    Delay = 26,           // letter (0: every drive, present and future), code: a Fault, error: the ms
                          // (0 clears), count (0 clears; kForever)
    Stall = 27,           // letter (0: every drive), code: a Fault
    Release = 28,         // letter (0: every drive)
    Calls = 29,           // -> data: the calls in progress (EncodeCallList)
};

struct Request {
    Op op = Op::DriveType;
    wchar_t letter = 0;
    std::uint64_t handle = 0;
    DWORD code = 0;
    DWORD error = 0;
    DWORD count = 0;
    DWORD outSize = 0;
    std::wstring text;
    std::vector<BYTE> input;
};

struct Response {
    DWORD result = 0;
    DWORD error = 0;
    std::uint64_t value = 0;
    std::vector<BYTE> data;
};

// Limits that keep a bad peer from making either side allocate much.
constexpr std::size_t kMaxTextUnits = 1024;
constexpr std::size_t kMaxDataBytes = 64 * 1024;
constexpr std::size_t kRequestHeaderBytes = 40;
constexpr std::size_t kResponseHeaderBytes = 20;
constexpr std::size_t kMaxFrameBytes = kRequestHeaderBytes + 2 * kMaxTextUnits + kMaxDataBytes;

// Bodies. Decoding checks every size; nullopt means malformed.
std::vector<BYTE> EncodeRequest(const Request& request);
std::optional<Request> DecodeRequest(std::span<const BYTE> body);
std::vector<BYTE> EncodeResponse(const Response& response);
std::optional<Response> DecodeResponse(std::span<const BYTE> body);

// A failed command's answer, with its explanation.
Response Refusal(DWORD error, std::string_view why);
// The explanation a refusal carries (empty for other answers).
std::string RefusalText(const Response& response);

// The drive list of Op::List: per drive 13 u32 fields (letter, drive type,
// present, disc, status, announced, volume locked, held by another program,
// logins, ejects, dismounts, announcements, withdrawals). No passphrase.
std::vector<BYTE> EncodeDriveList(const std::vector<DriveState>& drives);
std::optional<std::vector<DriveState>> DecodeDriveList(std::span<const BYTE> data);

// The calls in progress of Op::Calls: per call 4 u32 fields (letter, kind,
// ms waited so far, stalled).
struct CallShown {
    wchar_t drive = 0;
    Fault kind = Fault::Open;
    DWORD msSoFar = 0;
    bool stalled = false;
};
std::vector<BYTE> EncodeCallList(const std::vector<CallShown>& calls);
std::optional<std::vector<CallShown>> DecodeCallList(std::span<const BYTE> data);

// The names of the faults a drive can be told to produce, in Fault's order.
constexpr std::array<std::wstring_view, 10> kFaultNames = {
    L"open", L"signature", L"status", L"announce", L"login",
    L"withdraw", L"lock", L"unlock", L"dismount", L"eject"};
std::optional<Fault> FaultFromName(std::wstring_view name);

// The pipe path in force: \\.\pipe\ and VARNOK_SIM_PIPE or the default
// name; nullopt when the variable holds no usable name.
std::optional<std::wstring> SimulatorPipePath();
// A manual-reset named event that the simulator holds set while it serves
// the pipe: the way to wait for it to come up.
std::wstring ReadyEventName(const std::wstring& pipePath);
// A named mutex whose existence says that a simulator serves the pipe.
std::wstring InstanceMarkerName(const std::wstring& pipePath);

// Frame transfer on a pipe handle opened for overlapped I/O. The transfer
// ends early with ERROR_OPERATION_ABORTED when `cancel` (may be null) is
// set, and with ERROR_SEM_TIMEOUT after `timeoutMs`. ReadFrame answers
// ERROR_INVALID_DATA for a length beyond kMaxFrameBytes, without reading on.
DWORD WriteFrame(HANDLE pipe, std::span<const BYTE> body, HANDLE cancel, DWORD timeoutMs);
DWORD ReadFrame(HANDLE pipe, std::vector<BYTE>& body, HANDLE cancel, DWORD timeoutMs);

// The event a run of frame transfers on one pipe shares, instead of one
// made and closed for each.
class TransferEvent {
public:
    TransferEvent();
    explicit operator bool() const { return static_cast<bool>(m_event); }
    HANDLE get() const { return m_event.get(); }

private:
    vnk::fw::UniqueHandle m_event;
};
DWORD WriteFrame(HANDLE pipe, std::span<const BYTE> body, HANDLE cancel, DWORD timeoutMs, const TransferEvent& done);
DWORD ReadFrame(HANDLE pipe, std::vector<BYTE>& body, HANDLE cancel, DWORD timeoutMs, const TransferEvent& done);

// Wipes what of a request may be a passphrase (its text and input).
void WipeRequest(Request& request);

// A request, and storage that may hold one encoded, are wiped when they go:
// on every path out, a thrown one included.
struct WipedRequest {
    std::optional<Request> request;
    ~WipedRequest() {
        if (request) WipeRequest(*request);
    }
};
template <class T>
struct WipedVector {
    std::vector<T> bytes;
    ~WipedVector() { ::SecureZeroMemory(bytes.data(), bytes.size() * sizeof(T)); }
};

// Whether the process serving a connected pipe runs as `user` (a SID): a
// pipe of the simulator's name served by anybody else would be handed
// passphrases. ERROR_SUCCESS, or ERROR_ACCESS_DENIED for a server of
// another user or one that cannot be told.
DWORD CheckPipeServer(HANDLE pipe, const std::vector<BYTE>& user);

struct PipeTimeouts {
    DWORD connectMs = 2000;   // waiting for a free pipe instance
    DWORD exchangeMs = 5000;  // writing the request and reading the answer
};

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
