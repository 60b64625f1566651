/* The test driver: a kernel-mode stand-in for the CD/DVD filter driver, so
 * that the product build of the client (with its real Win32 device calls)
 * can be run against something that answers like the driver does.
 *
 * It makes a CD-ROM device per drive letter, answers the filter driver's
 * private requests and the standard ones on it, keeps a record of every
 * request, and takes its orders (drives, statuses, signatures, passphrases,
 * failures, signals) from a control device, \\.\VarnokTestCtl.
 *
 * It is written for Wine's ntoskrnl (winedevice.exe): see the mount-manager
 * step below, which only Wine needs. */
#include <ntddk.h>

#include "test_driver_protocol.h"

/* The filter driver's control codes and records. */
#define IOCTL_VNK_GET_SIGNATURE 0x90002004u
#define IOCTL_VNK_GET_STATUS 0x90002008u
#define IOCTL_VNK_ANNOUNCE 0x9000200Cu
#define IOCTL_VNK_LOGIN 0x90002010u
#define IOCTL_VNK_WITHDRAW 0x90002018u
#define ANNOUNCE_RECORD_BYTES 20u
#define MAX_PASSPHRASE_UNITS 254u
#define STATUS_NO_DISC 0u
#define STATUS_LOGGED_IN 5u

/* Standard requests, all without buffers. */
#define EJECT_MEDIA 0x002D4808u
#define LOCK_VOLUME 0x00090018u
#define UNLOCK_VOLUME 0x0009001Cu
#define DISMOUNT_VOLUME 0x00090020u

#define POOL_TAG 0x44546E56u /* 'VnTD' */

/* ---- Wine only: the mount manager ------------------------------------------
 * Wine's GetDriveTypeW does not ask the device behind a letter: it asks
 * Wine's mount manager, which knows only the letters defined with Wine's
 * own IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE (include/ddk/mountmgr.h in Wine's
 * source, under WINE_MOUNTMGR_EXTENSIONS). The few bits needed are copied
 * here; on Windows none of this would exist, the CD-ROM class driver
 * would have made the drive. */
#define WINE_MOUNTMGR_DEVICE_NAME L"\\Device\\MountPointManager"
#define WINE_IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE \
    CTL_CODE(0x6D /* 'm' */, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define WINE_DRIVE_NO_ROOT_DIR 1u /* removes the letter */
#define WINE_DRIVE_CDROM 5u
struct wine_mountmgr_unix_drive {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    ULONG serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset; /* 0: none */
    USHORT device_offset;      /* 0: none */
    USHORT label_offset;
};
/* ---------------------------------------------------------------------------- */

typedef struct Failure {
    ULONG key; /* a control code, VTD_FAIL_OPEN or VTD_FAIL_EVERY_CODE; 0: unused */
    NTSTATUS status;
    ULONG count; /* VTD_FAIL_FOREVER: every time */
} Failure;

#define MAX_FAILURES 4

typedef struct Drive {
    PDEVICE_OBJECT device; /* null: no drive for this letter */
    BOOLEAN letterDefined; /* Wine only: the mount manager knows the letter */
    ULONG status;
    UCHAR signature[8];
    ULONG passphraseUnits;
    WCHAR passphrase[MAX_PASSPHRASE_UNITS];
    Failure failures[MAX_FAILURES];
    PKEVENT event; /* referenced while announced */
    ULONG announced;
    ULONG sessionId;
    UCHAR guid[16];
    ULONG eventOpened;
    ULONG announcements, withdrawals, logins, ejects, signals, openHandles;
} Drive;

typedef struct DeviceExtension {
    ULONG letter; /* 0 for the control device */
} DeviceExtension;

static KSPIN_LOCK g_lock; /* guards g_drives (but the device objects) and g_record */
static Drive g_drives[26];
static VtdRecord g_record;
static PDEVICE_OBJECT g_control;
static PDRIVER_OBJECT g_driver;
/* Drive changes (creation, mount manager, links) are made one at a time. */
static KMUTEX g_changeMutex;

static Drive* DriveOf(ULONG letter) {
    if (letter >= 'a' && letter <= 'z') letter -= 'a' - 'A';
    return letter >= 'A' && letter <= 'Z' ? &g_drives[letter - 'A'] : NULL;
}

/* ---- Names ------------------------------------------------------------------ */

typedef struct NameBuffer {
    WCHAR units[128];
    UNICODE_STRING string;
} NameBuffer;

static void NameAppend(NameBuffer* name, const WCHAR* text) {
    size_t used = name->string.Length / sizeof(WCHAR);
    while (*text != L'\0' && used + 1 < sizeof name->units / sizeof(WCHAR)) name->units[used++] = *text++;
    name->units[used] = L'\0';
    name->string.Buffer = name->units;
    name->string.Length = (USHORT)(used * sizeof(WCHAR));
    name->string.MaximumLength = sizeof name->units;
}

static void NameAppendUnit(NameBuffer* name, WCHAR unit) {
    WCHAR text[2] = {unit, L'\0'};
    NameAppend(name, text);
}

static void NameAppendHex(NameBuffer* name, ULONG value, int digits) {
    static const WCHAR hex[] = L"0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) NameAppendUnit(name, hex[(value >> (4 * i)) & 0xF]);
}

static void NameAppendDecimal(NameBuffer* name, ULONG value) {
    WCHAR text[11];
    int at = 10;
    text[at] = L'\0';
    do {
        text[--at] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    NameAppend(name, &text[at]);
}

static void NameStart(NameBuffer* name, const WCHAR* text) {
    name->string.Length = 0;
    NameAppend(name, text);
}

static void DeviceName(NameBuffer* name, ULONG letter) {
    NameStart(name, L"\\Device\\VarnokTestCdRom");
    NameAppendUnit(name, (WCHAR)letter);
}

static void LinkName(NameBuffer* name, ULONG letter) {
    NameStart(name, L"\\DosDevices\\");
    NameAppendUnit(name, (WCHAR)letter);
    NameAppendUnit(name, L':');
}

/* The announcement's event, as a driver finds it: the session's named
 * objects, then the GUID in its braced upper-case text form. Session 0's
 * objects are the global ones. */
static void EventName(NameBuffer* name, ULONG sessionId, const UCHAR guid[16]) {
    if (sessionId == 0) {
        NameStart(name, L"\\BaseNamedObjects\\{");
    } else {
        NameStart(name, L"\\Sessions\\");
        NameAppendDecimal(name, sessionId);
        NameAppend(name, L"\\BaseNamedObjects\\{");
    }
    ULONG data1 = guid[0] | (guid[1] << 8) | (guid[2] << 16) | ((ULONG)guid[3] << 24);
    NameAppendHex(name, data1, 8);
    NameAppendUnit(name, L'-');
    NameAppendHex(name, guid[4] | (guid[5] << 8), 4);
    NameAppendUnit(name, L'-');
    NameAppendHex(name, guid[6] | (guid[7] << 8), 4);
    NameAppendUnit(name, L'-');
    NameAppendHex(name, guid[8], 2);
    NameAppendHex(name, guid[9], 2);
    NameAppendUnit(name, L'-');
    for (int i = 10; i < 16; ++i) NameAppendHex(name, guid[i], 2);
    NameAppendUnit(name, L'}');
}

/* ---- The record ------------------------------------------------------------- */

static void Record(ULONG letter, ULONG major, ULONG code, const void* input, ULONG inputBytes, ULONG outputBytes,
                   NTSTATUS status, ULONG information) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_record.count < VTD_RECORD_ENTRIES) {
        VtdCall* call = &g_record.calls[g_record.count++];
        RtlZeroMemory(call, sizeof *call);
        call->letter = letter;
        call->major = major;
        call->code = code;
        call->inputBytes = inputBytes;
        call->outputBytes = outputBytes;
        call->status = (ULONG)status;
        call->information = information;
        if (input != NULL)
            RtlCopyMemory(call->input, input,
                          inputBytes < VTD_RECORD_INPUT_BYTES ? inputBytes : VTD_RECORD_INPUT_BYTES);
    } else {
        ++g_record.dropped;
    }
    KeReleaseSpinLock(&g_lock, irql);
}

/* A failure ordered for this request, used up by one. Under g_lock. */
static BOOLEAN TakeFailure(Drive* drive, ULONG key, NTSTATUS* status) {
    for (int i = 0; i < MAX_FAILURES; ++i) {
        Failure* failure = &drive->failures[i];
        if (failure->count == 0 || (failure->key != key && !(failure->key == VTD_FAIL_EVERY_CODE && key != VTD_FAIL_OPEN)))
            continue;
        if (failure->count != VTD_FAIL_FOREVER) --failure->count;
        *status = failure->status;
        return TRUE;
    }
    return FALSE;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- A drive's requests ----------------------------------------------------- */

static void DropAnnouncement(Drive* drive, PKEVENT* release) {
    *release = drive->event;
    drive->event = NULL;
    drive->announced = 0;
    drive->eventOpened = 0;
}

/* Opens the event that the announcement names; runs at PASSIVE_LEVEL with
 * no lock held. */
static NTSTATUS OpenAnnouncedEvent(ULONG sessionId, const UCHAR guid[16], PKEVENT* event) {
    NameBuffer name;
    EventName(&name, sessionId, guid);
    OBJECT_ATTRIBUTES attributes;
    /* Case-sensitive on purpose: the client must name its event in upper case. */
    InitializeObjectAttributes(&attributes, &name.string, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle;
    NTSTATUS status = ZwOpenEvent(&handle, EVENT_MODIFY_STATE | SYNCHRONIZE, &attributes);
    if (!NT_SUCCESS(status)) return status;
    /* MinGW declares ExEventObjectType as the imported variable's address
     * (POBJECT_TYPE*): that address is what the call wants. */
    status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, (POBJECT_TYPE)ExEventObjectType, KernelMode,
                                       (PVOID*)event, NULL);
    ZwClose(handle);
    return status;
}

static NTSTATUS Announce(Drive* drive, const UCHAR* input, ULONG inputBytes) {
    if (inputBytes != ANNOUNCE_RECORD_BYTES) return STATUS_INVALID_PARAMETER;
    ULONG sessionId = input[16] | (input[17] << 8) | (input[18] << 16) | ((ULONG)input[19] << 24);
    PKEVENT event = NULL;
    NTSTATUS status = OpenAnnouncedEvent(sessionId, input, &event);
    PKEVENT release = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    ++drive->announcements;
    DropAnnouncement(drive, &release);
    if (NT_SUCCESS(status)) {
        drive->event = event;
        drive->announced = 1;
        drive->eventOpened = 1;
        drive->sessionId = sessionId;
        RtlCopyMemory(drive->guid, input, 16);
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (release != NULL) ObDereferenceObject(release);
    return status;
}

static NTSTATUS Login(Drive* drive, const UCHAR* input, ULONG inputBytes) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    ++drive->logins;
    const ULONG expected = (drive->passphraseUnits + 1) * sizeof(WCHAR);
    BOOLEAN accepted = inputBytes == expected &&
                       RtlCompareMemory(input, drive->passphrase, drive->passphraseUnits * sizeof(WCHAR)) ==
                           drive->passphraseUnits * sizeof(WCHAR) &&
                       input[expected - 2] == 0 && input[expected - 1] == 0;
    if (accepted) drive->status = STATUS_LOGGED_IN;
    KeReleaseSpinLock(&g_lock, irql);
    return accepted ? STATUS_SUCCESS : STATUS_WRONG_PASSWORD;
}

static NTSTATUS DriveControl(Drive* drive, ULONG code, const UCHAR* input, ULONG inputBytes, UCHAR* output,
                             ULONG outputBytes, ULONG_PTR* information) {
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    BOOLEAN failed = TakeFailure(drive, code, &status);
    KeReleaseSpinLock(&g_lock, irql);
    if (failed) return status;

    switch (code) {
        case IOCTL_VNK_GET_SIGNATURE:
            if (outputBytes < sizeof drive->signature) return STATUS_BUFFER_TOO_SMALL;
            KeAcquireSpinLock(&g_lock, &irql);
            RtlCopyMemory(output, drive->signature, sizeof drive->signature);
            KeReleaseSpinLock(&g_lock, irql);
            *information = sizeof drive->signature;
            return STATUS_SUCCESS;
        case IOCTL_VNK_GET_STATUS:
            if (outputBytes < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
            KeAcquireSpinLock(&g_lock, &irql);
            RtlCopyMemory(output, &drive->status, sizeof(ULONG));
            KeReleaseSpinLock(&g_lock, irql);
            *information = sizeof(ULONG);
            return STATUS_SUCCESS;
        case IOCTL_VNK_ANNOUNCE: return Announce(drive, input, inputBytes);
        case IOCTL_VNK_LOGIN: return Login(drive, input, inputBytes);
        case IOCTL_VNK_WITHDRAW: {
            PKEVENT release = NULL;
            KeAcquireSpinLock(&g_lock, &irql);
            ++drive->withdrawals;
            DropAnnouncement(drive, &release);
            KeReleaseSpinLock(&g_lock, irql);
            if (release != NULL) ObDereferenceObject(release);
            return STATUS_SUCCESS;
        }
        case EJECT_MEDIA:
            KeAcquireSpinLock(&g_lock, &irql);
            ++drive->ejects;
            drive->status = STATUS_NO_DISC;
            KeReleaseSpinLock(&g_lock, irql);
            return STATUS_SUCCESS;
        case LOCK_VOLUME:
        case UNLOCK_VOLUME:
        case DISMOUNT_VOLUME: return STATUS_SUCCESS;
        default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS DriveDispatch(ULONG letter, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Drive* drive = DriveOf(letter);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    KIRQL irql;
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE: {
            const ULONG access = stack->Parameters.Create.SecurityContext != NULL
                                     ? stack->Parameters.Create.SecurityContext->DesiredAccess
                                     : 0;
            KeAcquireSpinLock(&g_lock, &irql);
            if (!TakeFailure(drive, VTD_FAIL_OPEN, &status)) ++drive->openHandles;
            KeReleaseSpinLock(&g_lock, irql);
            Record(letter, IRP_MJ_CREATE, access, NULL, 0, 0, status, 0);
            break;
        }
        case IRP_MJ_CLOSE:
            KeAcquireSpinLock(&g_lock, &irql);
            if (drive->openHandles > 0) --drive->openHandles;
            KeReleaseSpinLock(&g_lock, irql);
            Record(letter, IRP_MJ_CLOSE, 0, NULL, 0, 0, status, 0);
            break;
        case IRP_MJ_CLEANUP: break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_FILE_SYSTEM_CONTROL: {
            /* Every request here is METHOD_BUFFERED or has no buffers: the
             * system buffer holds the input and takes the output. Wine
             * delivers FSCTL codes as device controls too. */
            const ULONG code = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                                   ? stack->Parameters.DeviceIoControl.IoControlCode
                                   : stack->Parameters.FileSystemControl.FsControlCode;
            const ULONG inputBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
            const ULONG outputBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
            UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
            UCHAR input[VTD_RECORD_INPUT_BYTES + 512];
            const ULONG kept = inputBytes < sizeof input ? inputBytes : sizeof input;
            if (buffer != NULL && kept > 0) RtlCopyMemory(input, buffer, kept);
            if ((code & 3) != METHOD_BUFFERED && (inputBytes != 0 || outputBytes != 0)) {
                status = STATUS_INVALID_PARAMETER;
            } else if (inputBytes > sizeof input) {
                status = STATUS_INVALID_BUFFER_SIZE;
            } else {
                status = DriveControl(drive, code, input, inputBytes, buffer, outputBytes, &information);
            }
            Record(letter, stack->MajorFunction, code, buffer != NULL ? input : NULL, inputBytes, outputBytes, status,
                   (ULONG)information);
            break;
        }
        default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    return Complete(irp, status, information);
}

/* ---- Drives coming and going ------------------------------------------------ */

/* Wine only: defines or undefines the letter in Wine's mount manager. */
static NTSTATUS WineMountManagerDefine(ULONG letter, ULONG type) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WINE_MOUNTMGR_DEVICE_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE manager;
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwCreateFile(&manager, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL,
                                   0);
    if (!NT_SUCCESS(status)) return status;
    struct wine_mountmgr_unix_drive drive;
    RtlZeroMemory(&drive, sizeof drive);
    drive.size = sizeof drive;
    drive.type = type;
    drive.letter = (WCHAR)letter;
    status = ZwDeviceIoControlFile(manager, NULL, NULL, NULL, &io, WINE_IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE, &drive,
                                   sizeof drive, NULL, 0);
    ZwClose(manager);
    return status;
}

/* The drive's \DosDevices\X: link to its own device. Wine's mount manager
 * points a letter it defines at a device of its own, so the link is made
 * again after each definition. */
static NTSTATUS LinkLetter(ULONG letter) {
    NameBuffer link, device;
    LinkName(&link, letter);
    DeviceName(&device, letter);
    IoDeleteSymbolicLink(&link.string);
    return IoCreateSymbolicLink(&link.string, &device.string);
}

static void ResetDrive(Drive* drive) {
    RtlZeroMemory(drive, sizeof *drive);
    RtlCopyMemory(drive->signature, VTD_DEFAULT_SIGNATURE, sizeof drive->signature);
}

/* Under g_changeMutex. */
static NTSTATUS AddDrive(ULONG letter) {
    Drive* drive = DriveOf(letter);
    if (drive == NULL) return STATUS_INVALID_PARAMETER;
    if (drive->device != NULL) return STATUS_OBJECT_NAME_COLLISION;
    NameBuffer name;
    DeviceName(&name, letter);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(g_driver, sizeof(DeviceExtension), &name.string, FILE_DEVICE_CD_ROM,
                                     FILE_REMOVABLE_MEDIA, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ((DeviceExtension*)device->DeviceExtension)->letter = letter;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    ResetDrive(drive);
    drive->device = device;
    KeReleaseSpinLock(&g_lock, irql);

    status = WineMountManagerDefine(letter, WINE_DRIVE_CDROM);
    if (NT_SUCCESS(status)) {
        drive->letterDefined = TRUE;
        status = LinkLetter(letter);
    }
    return status;
}

/* Under g_changeMutex. */
static void RemoveDrive(Drive* drive, ULONG letter) {
    PKEVENT release = NULL;
    PDEVICE_OBJECT device;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    DropAnnouncement(drive, &release);
    device = drive->device;
    drive->device = NULL;
    KeReleaseSpinLock(&g_lock, irql);
    if (release != NULL) ObDereferenceObject(release);

    NameBuffer link;
    LinkName(&link, letter);
    IoDeleteSymbolicLink(&link.string);
    if (drive->letterDefined) WineMountManagerDefine(letter, WINE_DRIVE_NO_ROOT_DIR);
    drive->letterDefined = FALSE;
    if (device != NULL) IoDeleteDevice(device);
}

/* Adding and removing talk to Wine's mount manager, which may run in this
 * very process: that is done on a thread of its own while the order's
 * request waits, pending, so that the process's request loop stays free. */
typedef struct Change {
    PIRP irp;
    ULONG code;
    ULONG letter;
} Change;

static VOID NTAPI ChangeThread(PVOID context) {
    Change* change = (Change*)context;
    KeWaitForSingleObject(&g_changeMutex, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status;
    Drive* drive = DriveOf(change->letter);
    if (drive == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (change->code == VTD_CTL_ADD) {
        status = AddDrive(change->letter);
        if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_COLLISION) RemoveDrive(drive, change->letter);
    } else if (drive->device == NULL) {
        status = STATUS_NOT_FOUND;
    } else {
        RemoveDrive(drive, change->letter);
        status = STATUS_SUCCESS;
    }
    KeReleaseMutex(&g_changeMutex, FALSE);
    Complete(change->irp, status, 0);
    ExFreePoolWithTag(change, POOL_TAG);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS StartChange(PIRP irp, ULONG code, ULONG letter) {
    Change* change = (Change*)ExAllocatePoolWithTag(NonPagedPool, sizeof *change, POOL_TAG);
    if (change == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    change->irp = irp;
    change->code = code;
    change->letter = letter >= 'a' && letter <= 'z' ? letter - ('a' - 'A') : letter;
    IoMarkIrpPending(irp);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, ChangeThread, change);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(change, POOL_TAG);
        Complete(irp, status, 0);
        return STATUS_PENDING;
    }
    ZwClose(thread);
    return STATUS_PENDING;
}

/* ---- The control device ----------------------------------------------------- */

static NTSTATUS Signal(Drive* drive) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    PKEVENT event = drive->event;
    if (event != NULL) {
        ObReferenceObject(event);
        ++drive->signals;
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (event == NULL) return STATUS_NOT_FOUND;
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(event);
    return STATUS_SUCCESS;
}

static NTSTATUS ControlOrder(ULONG code, const VtdOrder* order, UCHAR* output, ULONG outputBytes,
                             ULONG_PTR* information) {
    Drive* drive = DriveOf(order->letter);
    KIRQL irql;
    if (code == VTD_CTL_PING) return STATUS_SUCCESS;
    if (code == VTD_CTL_RECORD) {
        if (outputBytes < sizeof(VtdRecord)) return STATUS_BUFFER_TOO_SMALL;
        KeAcquireSpinLock(&g_lock, &irql);
        RtlCopyMemory(output, &g_record, sizeof g_record);
        if (order->value == 1) RtlZeroMemory(&g_record, sizeof g_record);
        KeReleaseSpinLock(&g_lock, irql);
        *information = sizeof(VtdRecord);
        return STATUS_SUCCESS;
    }
    if (drive == NULL) return STATUS_INVALID_PARAMETER;
    if (code == VTD_CTL_QUERY) {
        if (outputBytes < sizeof(VtdDriveState)) return STATUS_BUFFER_TOO_SMALL;
        VtdDriveState state;
        RtlZeroMemory(&state, sizeof state);
        KeAcquireSpinLock(&g_lock, &irql);
        state.present = drive->device != NULL;
        state.status = drive->status;
        state.announced = drive->announced;
        state.sessionId = drive->sessionId;
        RtlCopyMemory(state.guid, drive->guid, sizeof state.guid);
        state.eventOpened = drive->eventOpened;
        state.announcements = drive->announcements;
        state.withdrawals = drive->withdrawals;
        state.logins = drive->logins;
        state.ejects = drive->ejects;
        state.signals = drive->signals;
        state.openHandles = drive->openHandles;
        KeReleaseSpinLock(&g_lock, irql);
        RtlCopyMemory(output, &state, sizeof state);
        *information = sizeof state;
        return STATUS_SUCCESS;
    }
    if (code == VTD_CTL_SIGNAL) return Signal(drive);

    NTSTATUS status = STATUS_SUCCESS;
    KeAcquireSpinLock(&g_lock, &irql);
    if (drive->device == NULL) {
        status = STATUS_NOT_FOUND;
    } else if (code == VTD_CTL_STATUS) {
        drive->status = order->value;
    } else if (code == VTD_CTL_SIGNATURE) {
        for (int i = 0; i < 8; ++i) drive->signature[i] = (UCHAR)(i < (int)order->textUnits ? order->text[i] : 0);
    } else if (code == VTD_CTL_PASSPHRASE) {
        if (order->textUnits > MAX_PASSPHRASE_UNITS) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            drive->passphraseUnits = order->textUnits;
            RtlCopyMemory(drive->passphrase, order->text, order->textUnits * sizeof(WCHAR));
        }
    } else if (code == VTD_CTL_FAIL) {
        Failure* slot = NULL;
        for (int i = 0; i < MAX_FAILURES; ++i) {
            Failure* failure = &drive->failures[i];
            if (failure->key == order->code || (slot == NULL && failure->count == 0)) slot = failure;
            if (failure->key == order->code) break;
        }
        if (slot == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            slot->key = order->code;
            slot->status = (NTSTATUS)order->value;
            slot->count = order->count;
        }
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    KeReleaseSpinLock(&g_lock, irql);
    return status;
}

static NTSTATUS ControlDispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return Complete(irp, stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
                                     stack->MajorFunction == IRP_MJ_CLEANUP
                                 ? STATUS_SUCCESS
                                 : STATUS_INVALID_DEVICE_REQUEST,
                        0);
    }
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(VtdOrder))
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    /* The order is copied out of the system buffer, which takes the output. */
    VtdOrder order;
    RtlCopyMemory(&order, irp->AssociatedIrp.SystemBuffer, sizeof order);
    if (code == VTD_CTL_ADD || code == VTD_CTL_REMOVE) return StartChange(irp, code, order.letter);
    ULONG_PTR information = 0;
    NTSTATUS status = ControlOrder(code, &order, (UCHAR*)irp->AssociatedIrp.SystemBuffer,
                                   stack->Parameters.DeviceIoControl.OutputBufferLength, &information);
    return Complete(irp, status, information);
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    const ULONG letter = ((DeviceExtension*)device->DeviceExtension)->letter;
    return letter == 0 ? ControlDispatch(irp) : DriveDispatch(letter, irp);
}

/* ---- Load and unload -------------------------------------------------------- */

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    (void)driver;
    KeWaitForSingleObject(&g_changeMutex, Executive, KernelMode, FALSE, NULL);
    for (ULONG letter = 'A'; letter <= 'Z'; ++letter) {
        Drive* drive = DriveOf(letter);
        if (drive->device != NULL || drive->letterDefined) RemoveDrive(drive, letter);
    }
    KeReleaseMutex(&g_changeMutex, FALSE);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, VTD_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (g_control != NULL) IoDeleteDevice(g_control);
    g_control = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    g_driver = driver;
    KeInitializeSpinLock(&g_lock);
    KeInitializeMutex(&g_changeMutex, 0);
    RtlZeroMemory(&g_record, sizeof g_record);
    for (int i = 0; i < 26; ++i) ResetDrive(&g_drives[i]);

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, VTD_CONTROL_DEVICE);
    RtlInitUnicodeString(&link, VTD_CONTROL_LINK);
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
    if (!NT_SUCCESS(status)) return status;
    ((DeviceExtension*)g_control->DeviceExtension)->letter = 0;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        g_control = NULL;
        return status;
    }
    g_control->Flags |= DO_BUFFERED_IO;
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;

    driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    driver->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = Dispatch;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
