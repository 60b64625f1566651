#include "tests/driver/test_driver_client.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "fw/handles.h"

namespace vnk::testdrv {

namespace {

VtdOrder OrderFor(wchar_t letter) {
    VtdOrder order{};
    order.letter = letter;
    return order;
}

void SetText(VtdOrder& order, const wchar_t* units, size_t count) {
    order.textUnits = static_cast<ULONG>(count < VTD_MAX_TEXT ? count : VTD_MAX_TEXT);
    std::memcpy(order.text, units, order.textUnits * sizeof(wchar_t));
}

// One order on a handle of its own, overlapped so that a driver that does
// not answer costs at most the time-out (the call is then cancelled and
// waited for before its buffers go).
DWORD Order(DWORD code, const VtdOrder& order, void* out = nullptr, DWORD outSize = 0) {
    vnk::fw::UniqueHandle control(::CreateFileW(VTD_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!control) return ::GetLastError();
    vnk::fw::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) return ::GetLastError();
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    DWORD returned = 0;
    if (::DeviceIoControl(control.get(), code, const_cast<VtdOrder*>(&order), sizeof order, out, outSize, &returned,
                          &overlapped))
        return ERROR_SUCCESS;
    if (::GetLastError() != ERROR_IO_PENDING) return ::GetLastError();
    if (::WaitForSingleObject(done.get(), kOrderTimeoutMs) != WAIT_OBJECT_0) {
        ::CancelIoEx(control.get(), &overlapped);
        ::GetOverlappedResult(control.get(), &overlapped, &returned, TRUE);
        return WAIT_TIMEOUT;
    }
    return ::GetOverlappedResult(control.get(), &overlapped, &returned, FALSE) ? ERROR_SUCCESS : ::GetLastError();
}

const char* MajorName(ULONG major) {
    switch (major) {
        case 0x00: return "IRP_MJ_CREATE";
        case 0x02: return "IRP_MJ_CLOSE";
        case 0x0D: return "IRP_MJ_FILE_SYSTEM_CONTROL";
        case 0x0E: return "IRP_MJ_DEVICE_CONTROL";
        default: return "IRP_MJ_?";
    }
}

const char* CodeName(ULONG code) {
    switch (code) {
        case 0x90002004: return "IOCTL_VNK_GET_SIGNATURE";
        case 0x90002008: return "IOCTL_VNK_GET_STATUS";
        case 0x9000200C: return "IOCTL_VNK_ANNOUNCE";
        case 0x90002010: return "IOCTL_VNK_LOGIN";
        case 0x90002018: return "IOCTL_VNK_WITHDRAW";
        case 0x002D4808: return "IOCTL_STORAGE_EJECT_MEDIA";
        case 0x00090018: return "FSCTL_LOCK_VOLUME";
        case 0x0009001C: return "FSCTL_UNLOCK_VOLUME";
        case 0x00090020: return "FSCTL_DISMOUNT_VOLUME";
        default: return nullptr;
    }
}

}  // namespace

DWORD Ping() { return Order(VTD_CTL_PING, OrderFor(0)); }
DWORD AddDrive(wchar_t letter) { return Order(VTD_CTL_ADD, OrderFor(letter)); }
DWORD RemoveDrive(wchar_t letter) { return Order(VTD_CTL_REMOVE, OrderFor(letter)); }

DWORD SetStatus(wchar_t letter, DWORD status) {
    VtdOrder order = OrderFor(letter);
    order.value = status;
    return Order(VTD_CTL_STATUS, order);
}

DWORD SetSignature(wchar_t letter, const std::string& eightBytes) {
    VtdOrder order = OrderFor(letter);
    std::wstring units;
    for (char byte : eightBytes) units += static_cast<wchar_t>(static_cast<unsigned char>(byte));
    SetText(order, units.c_str(), units.size());
    return Order(VTD_CTL_SIGNATURE, order);
}

DWORD SetPassphrase(wchar_t letter, const std::wstring& passphrase) {
    VtdOrder order = OrderFor(letter);
    SetText(order, passphrase.c_str(), passphrase.size());
    const DWORD result = Order(VTD_CTL_PASSPHRASE, order);
    ::SecureZeroMemory(order.text, sizeof order.text);
    return result;
}

DWORD Fail(wchar_t letter, DWORD key, DWORD ntstatus, DWORD count) {
    VtdOrder order = OrderFor(letter);
    order.code = key;
    order.value = ntstatus;
    order.count = count;
    return Order(VTD_CTL_FAIL, order);
}

DWORD Signal(wchar_t letter) { return Order(VTD_CTL_SIGNAL, OrderFor(letter)); }

std::optional<DriveState> Query(wchar_t letter) {
    DriveState state{};
    if (Order(VTD_CTL_QUERY, OrderFor(letter), &state, sizeof state) != ERROR_SUCCESS) return std::nullopt;
    return state;
}

std::optional<std::vector<Call>> ReadRecord(bool empty) {
    // Too big for a thread's stack frame to hold comfortably.
    auto record = std::make_unique<VtdRecord>();
    VtdOrder order = OrderFor(0);
    order.value = empty ? 1 : 0;
    if (Order(VTD_CTL_RECORD, order, record.get(), sizeof *record) != ERROR_SUCCESS) return std::nullopt;
    const ULONG count = record->count < VTD_RECORD_ENTRIES ? record->count : VTD_RECORD_ENTRIES;
    return std::vector<Call>(record->calls, record->calls + count);
}

std::string DescribeCall(const Call& call) {
    char text[160];
    const char* code = CodeName(call.code);
    char number[16];
    std::snprintf(number, sizeof number, "0x%08lX", call.code);
    std::snprintf(text, sizeof text, "%c: %s %s in %lu out %lu -> 0x%08lX (%lu bytes)", static_cast<char>(call.letter),
                  MajorName(call.major), code != nullptr ? code : number, call.inputBytes, call.outputBytes,
                  call.status, call.information);
    return text;
}

}  // namespace vnk::testdrv
