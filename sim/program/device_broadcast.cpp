#include "sim/program/device_broadcast.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace vnk::sim {

namespace {

// GUID_DEVINTERFACE_CDROM.
constexpr GUID kCdromInterface = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// A window that does not answer in this time is passed over, so that one
// hung program cannot stop the news reaching the others.
constexpr UINT kPerWindowTimeoutMs = 5000;

void Send(WPARAM event, LPARAM record) {
    DWORD_PTR answer = 0;
    // Sent, not posted: the record lives in this frame, and the system
    // copies it into each receiving process only for a sent message.
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, event, record, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                          kPerWindowTimeoutMs, &answer);
}

// The interface path a CD-ROM class driver would register for the drive.
std::vector<BYTE> CdromInterfaceRecord(wchar_t letter) {
    const std::wstring name = std::wstring(L"\\\\?\\SCSI#CdRom&Ven_Varnok&Prod_Simulated_Drive#") + letter +
                              L"&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
    const std::size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<BYTE> bytes(size, 0);
    DEV_BROADCAST_DEVICEINTERFACE_W header{};
    header.dbcc_size = static_cast<DWORD>(size);
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = kCdromInterface;
    std::memcpy(bytes.data(), &header, offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
    std::memcpy(bytes.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), name.c_str(),
                (name.size() + 1) * sizeof(wchar_t));
    return bytes;
}

void BroadcastCdrom(WPARAM event, wchar_t letter) {
    const std::vector<BYTE> record = CdromInterfaceRecord(letter);
    Send(event, reinterpret_cast<LPARAM>(record.data()));
    BroadcastDeviceNodesChanged();
}

}  // namespace

void BroadcastCdromArrival(wchar_t letter) { BroadcastCdrom(DBT_DEVICEARRIVAL, letter); }

void BroadcastCdromRemoval(wchar_t letter) { BroadcastCdrom(DBT_DEVICEREMOVECOMPLETE, letter); }

void BroadcastDeviceNodesChanged() { Send(DBT_DEVNODES_CHANGED, 0); }

}  // namespace vnk::sim
