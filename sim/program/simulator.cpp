#include "sim/program/simulator.h"

#include <algorithm>
#include <string>

#include "engine/driver_interface.h"
#include "sim/program/device_broadcast.h"

namespace vnk::sim {

namespace {

Response Done(DWORD result = 1, std::uint64_t value = 0) {
    Response response;
    response.result = result;
    response.value = value;
    return response;
}

std::string DriveText(wchar_t letter, std::string_view what) {
    std::string text = "drive ";
    text += static_cast<char>(letter);
    text += ": ";
    text += what;
    return text;
}

bool NeedsDrive(Op op) { return op >= Op::AddDrive && op <= Op::Signal; }

std::optional<wchar_t> LetterOf(const Request& request) {
    const wchar_t letter = request.letter;
    if (letter >= L'a' && letter <= L'z') return static_cast<wchar_t>(letter - L'a' + L'A');
    if (letter < L'A' || letter > L'Z') return std::nullopt;
    return letter;
}

std::optional<HANDLE> HandleOf(const Request& request) {
    const auto value = static_cast<std::uintptr_t>(request.handle);
    if (value != request.handle) return std::nullopt;
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

Response Simulator::Handle(const Request& request) {
    std::optional<wchar_t> letter;
    if (NeedsDrive(request.op)) {
        letter = LetterOf(request);
        if (!letter) return Refusal(ERROR_INVALID_PARAMETER, "a drive is named by a letter from A to Z");
    }
    switch (request.op) {
        case Op::DriveType: return DriveType(request);
        case Op::Open: return Open(request);
        case Op::Control: return Control(request);
        case Op::Close: return Close(request);
        case Op::List: return List();
        case Op::AddDrive: return AddDrive(*letter, request.code);
        case Op::RemoveDrive: return RemoveDrive(*letter);
        case Op::InsertPlain:
        case Op::InsertEncrypted: return Insert(*letter, request);
        case Op::Eject: return Eject(*letter);
        case Op::Hold: return Hold(*letter, request.code);
        case Op::Fail: return Fail(*letter, request);
        case Op::Signal: return Signal(*letter);
        case Op::Quit:
            // Nothing waits on a simulator that ends.
            m_driver.EndWaits();
            return Done();
        case Op::Delay: return Delay(request);
        case Op::Stall: return Stall(request);
        case Op::Release: return Release(request);
        case Op::Calls: return Calls();
    }
    return Refusal(ERROR_INVALID_FUNCTION, "unknown request");
}

Response Simulator::DriveType(const Request& request) {
    return Done(m_driver.DriveType(request.text.c_str()));
}

Response Simulator::Open(const Request& request) {
    const HANDLE handle = m_driver.Open(request.text.c_str(), request.code);
    if (handle == INVALID_HANDLE_VALUE) return Refusal(::GetLastError(), {});
    return Done(1, reinterpret_cast<std::uintptr_t>(handle));
}

Response Simulator::Control(const Request& request) {
    const auto handle = HandleOf(request);
    if (!handle) return Refusal(ERROR_INVALID_HANDLE, {});
    std::vector<BYTE> out(request.outSize);
    DWORD returned = 0;
    const BOOL ok = m_driver.Control(*handle, request.code, request.input.empty() ? nullptr : request.input.data(),
                                     static_cast<DWORD>(request.input.size()), out.empty() ? nullptr : out.data(),
                                     request.outSize, &returned);
    if (!ok) return Refusal(::GetLastError(), {});
    Response response = Done();
    out.resize(std::min<std::size_t>(returned, out.size()));
    response.data = std::move(out);
    return response;
}

Response Simulator::Close(const Request& request) {
    if (const auto handle = HandleOf(request)) m_driver.Close(*handle);
    return Done();
}

Response Simulator::List() const {
    Response response = Done();
    response.data = EncodeDriveList(m_driver.States());
    return response;
}

Response Simulator::AddDrive(wchar_t letter, DWORD driveType) {
    if (driveType != DRIVE_CDROM && driveType != DRIVE_FIXED)
        return Refusal(ERROR_INVALID_PARAMETER, "a drive is a CD/DVD drive or another (fixed) drive");
    if (const auto state = m_driver.State(letter); state && state->present)
        return Refusal(ERROR_ALREADY_EXISTS, DriveText(letter, "is already there"));
    m_driver.AddDrive(letter, driveType);
    // The filter driver sits on CD/DVD drives only.
    m_driver.SetSignature(letter, driveType == DRIVE_CDROM
                                      ? std::optional<std::string>(std::string(kDriverSignature, 8))
                                      : std::nullopt);
    if (driveType == DRIVE_CDROM)
        BroadcastCdromArrival(letter);
    else
        BroadcastDeviceNodesChanged();
    return Done();
}

Response Simulator::RemoveDrive(wchar_t letter) {
    const auto state = m_driver.State(letter);
    if (!state || !state->present) return Refusal(ERROR_FILE_NOT_FOUND, DriveText(letter, "is not there"));
    m_driver.RemoveDrive(letter);
    if (state->driveType == DRIVE_CDROM)
        BroadcastCdromRemoval(letter);
    else
        BroadcastDeviceNodesChanged();
    return Done();
}

Response Simulator::Insert(wchar_t letter, const Request& request) {
    const auto state = m_driver.State(letter);
    if (!state || !state->present) return Refusal(ERROR_FILE_NOT_FOUND, DriveText(letter, "is not there"));
    if (state->driveType != DRIVE_CDROM)
        return Refusal(ERROR_NOT_SUPPORTED, DriveText(letter, "is not a CD/DVD drive"));
    if (state->disc != Disc::None)
        return Refusal(ERROR_BUSY, DriveText(letter, "already holds a disc; eject it first"));
    if (request.op == Op::InsertPlain) {
        m_driver.InsertPlainDisc(letter);
        return Done();
    }
    const std::wstring& passphrase = request.text;
    if (passphrase.empty() || passphrase.size() > kMaxPassphraseUnits ||
        passphrase.find(L'\0') != std::wstring::npos)
        return Refusal(ERROR_INVALID_PARAMETER, "a passphrase has 1 to 254 characters");
    m_driver.InsertEncryptedDisc(letter, passphrase);
    return Done();
}

Response Simulator::Eject(wchar_t letter) {
    const auto state = m_driver.State(letter);
    if (!state || !state->present) return Refusal(ERROR_FILE_NOT_FOUND, DriveText(letter, "is not there"));
    if (state->disc == Disc::None) return Refusal(ERROR_NO_MEDIA_IN_DRIVE, DriveText(letter, "holds no disc"));
    m_driver.TakeOutDisc(letter);
    return Done();
}

Response Simulator::Hold(wchar_t letter, DWORD held) {
    const auto state = m_driver.State(letter);
    if (!state || !state->present) return Refusal(ERROR_FILE_NOT_FOUND, DriveText(letter, "is not there"));
    if (held > 1) return Refusal(ERROR_INVALID_PARAMETER, "hold is on or off");
    m_driver.HoldVolume(letter, held != 0);
    return Done();
}

Response Simulator::Fail(wchar_t letter, const Request& request) {
    const auto state = m_driver.State(letter);
    if (!state || !state->present) return Refusal(ERROR_FILE_NOT_FOUND, DriveText(letter, "is not there"));
    if (request.code >= kFaultNames.size()) return Refusal(ERROR_INVALID_PARAMETER, "unknown kind of call");
    m_driver.FailCalls(letter, static_cast<Fault>(request.code), request.error, request.count);
    return Done();
}

Response Simulator::Signal(wchar_t letter) {
    const auto state = m_driver.State(letter);
    if (!state || !state->present) return Refusal(ERROR_FILE_NOT_FOUND, DriveText(letter, "is not there"));
    if (!m_driver.SignalDrive(letter)) return Refusal(ERROR_NOT_FOUND, DriveText(letter, "has no announcement"));
    return Done();
}

}  // namespace vnk::sim

namespace vnk::sim {

std::optional<wchar_t> Simulator::DriveOrEvery(const Request& request, Response& refusal) const {
    if (request.letter == 0) return wchar_t{0};
    const auto letter = LetterOf(request);
    if (!letter) {
        refusal = Refusal(ERROR_INVALID_PARAMETER, "a drive is named by a letter from A to Z, or '*' for every drive");
        return std::nullopt;
    }
    if (const auto state = m_driver.State(*letter); !state || !state->present) {
        refusal = Refusal(ERROR_FILE_NOT_FOUND, DriveText(*letter, "is not there"));
        return std::nullopt;
    }
    return letter;
}

Response Simulator::Delay(const Request& request) {
    Response refusal;
    const auto letter = DriveOrEvery(request, refusal);
    if (!letter) return refusal;
    if (request.code >= kFaultNames.size()) return Refusal(ERROR_INVALID_PARAMETER, "unknown kind of call");
    m_driver.DelayCalls(*letter, static_cast<Fault>(request.code), request.error, request.count);
    return Done();
}

Response Simulator::Stall(const Request& request) {
    Response refusal;
    const auto letter = DriveOrEvery(request, refusal);
    if (!letter) return refusal;
    if (request.code >= kFaultNames.size()) return Refusal(ERROR_INVALID_PARAMETER, "unknown kind of call");
    m_driver.StallCalls(*letter, static_cast<Fault>(request.code));
    return Done();
}

Response Simulator::Release(const Request& request) {
    Response refusal;
    const auto letter = DriveOrEvery(request, refusal);
    if (!letter) return refusal;
    m_driver.ReleaseCalls(*letter);
    return Done();
}

Response Simulator::Calls() const {
    const DWORD now = ::GetTickCount();
    std::vector<CallShown> shown;
    for (const SimDriver::CallInProgress& call : m_driver.CallsInProgress())
        shown.push_back({call.drive, call.kind, now - call.sinceTick, call.stalled});
    Response response = Done();
    response.data = EncodeCallList(shown);
    return response;
}

}  // namespace vnk::sim
