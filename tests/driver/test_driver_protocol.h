/* The orders that the test driver takes on its control device, and what it
 * answers. Shared by the driver (C, kernel mode) and by the programs that
 * drive it (C++, user mode): plain C, the types that both <ntddk.h> and
 * <windows.h> give. */
#ifndef VARNOK_TEST_DRIVER_PROTOCOL_H
#define VARNOK_TEST_DRIVER_PROTOCOL_H

/* The service name, the image's file name and the control device. */
#define VTD_SERVICE_NAME L"VarnokTestDrv"
#define VTD_CONTROL_DEVICE L"\\Device\\VarnokTestCtl"
#define VTD_CONTROL_LINK L"\\DosDevices\\VarnokTestCtl"
#define VTD_CONTROL_PATH L"\\\\.\\VarnokTestCtl"

/* Control codes of the control device: a device type of our own (0x8000 and
 * up are free for anyone), METHOD_BUFFERED, FILE_ANY_ACCESS. Every order
 * takes a VtdOrder. */
#define VTD_DEVICE_TYPE 0x8123
#define VTD_CODE(function) ((ULONG)CTL_CODE(VTD_DEVICE_TYPE, (function), METHOD_BUFFERED, FILE_ANY_ACCESS))
#define VTD_CTL_PING VTD_CODE(0x900)       /* nothing; succeeds while the driver runs */
#define VTD_CTL_ADD VTD_CODE(0x901)        /* a drive for `letter` (and its mount-manager letter) */
#define VTD_CTL_REMOVE VTD_CODE(0x902)     /* the drive goes, its announcement with it */
#define VTD_CTL_STATUS VTD_CODE(0x903)     /* `value`: the status the drive answers */
#define VTD_CTL_SIGNATURE VTD_CODE(0x904)  /* `text`: the 8 bytes of the signature, as 8 units */
#define VTD_CTL_PASSPHRASE VTD_CODE(0x905) /* `text`, `textUnits`: the passphrase the drive accepts */
#define VTD_CTL_FAIL VTD_CODE(0x906)       /* `code` fails with NTSTATUS `value`, `count` times */
#define VTD_CTL_SIGNAL VTD_CODE(0x907)     /* signals the announced event; fails if there is none */
#define VTD_CTL_QUERY VTD_CODE(0x908)      /* out: VtdDriveState */
#define VTD_CTL_RECORD VTD_CODE(0x909)     /* out: VtdRecord; `value` 1 also empties it */

/* Keys of VTD_CTL_FAIL besides a control code. */
#define VTD_FAIL_OPEN 1u        /* IRP_MJ_CREATE on the drive */
#define VTD_FAIL_EVERY_CODE 2u  /* every device control */
#define VTD_FAIL_FOREVER 0xFFFFFFFFu

#define VTD_MAX_TEXT 256
#define VTD_RECORD_ENTRIES 128
#define VTD_RECORD_INPUT_BYTES 64

#define VTD_DEFAULT_SIGNATURE "PLMRVNK2"

typedef struct VtdOrder {
    ULONG letter; /* 'A' to 'Z' */
    ULONG value;
    ULONG code;
    ULONG count;
    ULONG textUnits;
    WCHAR text[VTD_MAX_TEXT];
} VtdOrder;

typedef struct VtdDriveState {
    ULONG present;
    ULONG status;
    ULONG announced;
    ULONG sessionId;
    UCHAR guid[16];     /* as the announcement carried it */
    ULONG eventOpened;  /* the announcement's event was found by its name */
    ULONG announcements;
    ULONG withdrawals;
    ULONG logins;
    ULONG ejects;
    ULONG signals;
    ULONG openHandles;
} VtdDriveState;

/* One request that reached a drive. `code` is the control code, or for
 * IRP_MJ_CREATE the access the handle asked for, where the system tells it
 * (Wine does not: 0). */
typedef struct VtdCall {
    ULONG letter;
    ULONG major;
    ULONG code;
    ULONG inputBytes;
    ULONG outputBytes;
    ULONG status; /* the NTSTATUS the driver answered */
    ULONG information;
    UCHAR input[VTD_RECORD_INPUT_BYTES]; /* the first bytes of the input */
} VtdCall;

typedef struct VtdRecord {
    ULONG count;   /* entries below, oldest first */
    ULONG dropped; /* calls that did not fit */
    VtdCall calls[VTD_RECORD_ENTRIES];
} VtdRecord;

#endif
