/*
 * usbsim_control.h - the simulated USB receipt printer's private control interface.
 *
 * Shared by the printer driver (kernel mode) and the Win32 test programs that drive it. The
 * includer provides ULONG, UCHAR and CTL_CODE (ntddk.h in the driver, windows.h/winioctl.h in
 * the programs).
 *
 * The driver simulates VPSIM_PRINTERS printers. Each has a data device (\Device\VpUsbSim<n>, n
 * from 0), which a port driver opens through its HardwareId path and which records everything
 * done to it. One control device, reached from Win32 as \\.\VpUsbSimControl, answers the codes
 * below; every request names its printer by the index that starts its input. Opens of the
 * control device are not recorded.
 */
#pragma once

#define VPSIM_PRINTERS        4
#define VPSIM_DATA_DEVICE_PREFIX L"\\Device\\VpUsbSim" /* followed by the printer's index */
#define VPSIM_CONTROL_DEVICE  L"\\Device\\VpUsbSimControl"
#define VPSIM_CONTROL_LINK    L"\\DosDevices\\VpUsbSimControl"
#define VPSIM_CONTROL_WIN32   L"\\\\.\\VpUsbSimControl"

#define VPSIM_DEVICE_TYPE 0x8001u

/* Input ULONG printer; output VPSIM_STATE. */
#define IOCTL_VPSIM_GET_STATE   CTL_CODE(VPSIM_DEVICE_TYPE, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input VPSIM_RECORD_QUERY; output VPSIM_RECORD. */
#define IOCTL_VPSIM_GET_RECORD  CTL_CODE(VPSIM_DEVICE_TYPE, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input ULONG printer, then 1..VPSIM_MAX_REPLY bytes: one reply, served to the next read (a
 * waiting read at once). */
#define IOCTL_VPSIM_QUEUE_REPLY CTL_CODE(VPSIM_DEVICE_TYPE, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input ULONG printer: forgets its records and queued replies (waiting reads stay). */
#define IOCTL_VPSIM_RESET       CTL_CODE(VPSIM_DEVICE_TYPE, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define VPSIM_MAX_RECORDS 1024
#define VPSIM_MAX_DATA    256  /* bytes of a write kept in its record */
#define VPSIM_MAX_REPLY   512
#define VPSIM_MAX_REPLIES 16

/* What a record describes. */
#define VPSIM_OPEN           1 /* IRP_MJ_CREATE on the data device */
#define VPSIM_WRITE          2 /* any write other than the status request */
#define VPSIM_STATUS_REQUEST 3 /* a write of exactly 0x10 0x04 0x01 */
#define VPSIM_CLEANUP        4
#define VPSIM_CLOSE          5
#define VPSIM_READ           6 /* a read answered with a reply (Length bytes, Data holds them) */
#define VPSIM_READ_CANCELLED 7 /* a waiting read cancelled by its requester */

typedef struct _VPSIM_RECORD_QUERY {
    ULONG Printer;
    ULONG Index;          /* 0 = oldest kept since the last reset */
} VPSIM_RECORD_QUERY;

typedef struct _VPSIM_RECORD {
    ULONG Kind;
    ULONG DesiredAccess;  /* VPSIM_OPEN: the open's desired access */
    ULONG CreateOptions;  /* VPSIM_OPEN: create options (low 24 bits of the create parameters) */
    ULONG ShareAccess;    /* VPSIM_OPEN */
    ULONG Length;         /* VPSIM_WRITE, VPSIM_STATUS_REQUEST, VPSIM_READ: bytes of the request */
    UCHAR Data[VPSIM_MAX_DATA];
} VPSIM_RECORD;

typedef struct _VPSIM_STATE {
    ULONG RecordCount;    /* records kept since the last reset (at most VPSIM_MAX_RECORDS) */
    ULONG LostRecords;    /* records that did not fit */
    ULONG OpenHandles;    /* data-device file objects created and not yet closed */
    ULONG WaitingReads;   /* reads waiting for a reply */
    ULONG QueuedReplies;  /* replies not yet served */
} VPSIM_STATE;
