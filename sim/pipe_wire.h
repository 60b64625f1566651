// The simulator's wire: how the client's device seam and the control
// program reach the simulated drive bay in the simulator program.
//
// One local named pipe in message mode, \\.\pipe\VarnokSimulator unless
// the environment variable VARNOK_SIM_PIPE names another (a bare name, no
// backslashes). Each request is one message and its answer is one message;
// a connection carries any number of such pairs. A message is a packed
// header (RequestHeader, AnswerHeader) followed by what the header counts:
// a request's text (UTF-16) then its input, an answer's data. Fields an
// operation does not use are zero. A request whose sizes do not add up, or
// that exceeds the limits below, is answered with result 0 and
// ERROR_INVALID_DATA; a message longer than the reader's buffer ends the
// connection, since the peer that sent it is broken.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

#pragma pack(push, 1)
struct RequestHeader {
    std::uint32_t op;
    std::uint32_t letter;
    std::uint64_t handle;
    std::uint32_t code;
    std::uint32_t error;
    std::uint32_t count;
    std::uint32_t outSize;
    std::uint32_t textUnits;   // UTF-16 units of text after the header
    std::uint32_t inputBytes;  // bytes of input after the text
};
struct AnswerHeader {
    std::uint32_t result;
    std::uint32_t error;
    std::uint64_t value;
    std::uint32_t dataBytes;  // bytes of data after the header
};
#pragma pack(pop)
static_assert(sizeof(RequestHeader) == 40 && offsetof(RequestHeader, handle) == 8 &&
                  offsetof(RequestHeader, textUnits) == 32,
              "both programs read the request at these offsets");
static_assert(sizeof(AnswerHeader) == 20 && offsetof(AnswerHeader, dataBytes) == 16,
              "both programs read the answer at these offsets");

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
constexpr std::size_t kMaxRequestBytes = sizeof(RequestHeader) + 2 * kMaxTextUnits + kMaxDataBytes;
constexpr std::size_t kMaxAnswerBytes = sizeof(AnswerHeader) + kMaxDataBytes;

// Messages. Decoding checks every size; nullopt means malformed.
std::vector<BYTE> EncodeRequest(const Request& request);
std::optional<Request> DecodeRequest(std::span<const BYTE> message);
std::vector<BYTE> EncodeResponse(const Response& response);
std::optional<Response> DecodeResponse(std::span<const BYTE> message);

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

// Waits for overlapped I/O on `pipe` that `started` began (its result) to
// end: ERROR_SUCCESS with the bytes moved, the I/O's error, or, with the
// I/O cancelled, ERROR_OPERATION_ABORTED once `cancel` (may be null) is
// set and ERROR_SEM_TIMEOUT after `timeoutMs`.
DWORD FinishIo(HANDLE pipe, OVERLAPPED& ov, BOOL started, HANDLE cancel, DWORD timeoutMs, DWORD& moved);
// Runs one overlapped I/O on `pipe`, which `start` begins with the
// OVERLAPPED it is given (returning the starting call's result), to its end
// as FinishIo tells it.
template <class Start>
DWORD RunIo(HANDLE pipe, HANDLE cancel, DWORD timeoutMs, DWORD& moved, Start start) {
    const vnk::fw::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) return ERROR_NOT_ENOUGH_MEMORY;
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    return FinishIo(pipe, ov, start(&ov), cancel, timeoutMs, moved);
}
// One whole message in or out of a pipe opened for overlapped I/O. A
// message longer than `maxBytes` fails with ERROR_MORE_DATA.
DWORD ReadMessage(HANDLE pipe, std::vector<BYTE>& message, std::size_t maxBytes, HANDLE cancel, DWORD timeoutMs);
DWORD WriteMessage(HANDLE pipe, std::span<const BYTE> message, HANDLE cancel, DWORD timeoutMs);

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

}  // namespace vnk::sim
