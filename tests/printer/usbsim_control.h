/*
 * usbsim_control.h - the simulated USB receipt printer's private control interface.
 *
 * Shared by the printer driver (kernel mode), the Win32 test programs and the Linux tests' client
 * that drive it. The includer provides ULONG, LONG, USHORT, UCHAR, WCHAR and CTL_CODE (ntddk.h in
 * the driver and on the kernel stand-in, windows.h/winioctl.h in the programs).
 *
 * The driver simulates up to VPSIM_PRINTERS printers. Each has a data device
 * (\Device\VpUsbSim<n>, n from 0), which a port driver opens through its HardwareId path and which
 * records everything done to it. One control device, reached from Win32 as \\.\VpUsbSimControl,
 * answers the codes below; every request names its printer by the index that starts its input.
 * Opens of the control device are not recorded.
 *
 * The first VPSIM_PRINTERS_AT_LOAD printers exist from the load (the DWORD VPSIM_PRINTERS_VALUE
 * in the service key, when present, says how many), plugged in, without a name of their own: each
 * answers under its device name. A test bed that wants a printer to look like a real USB printer
 * connects it (IOCTL_VPSIM_CONNECT), which creates its device if needed: it then also answers under
 * a device path of the USB kind, and its presence key (its subkey of the USB device-interface class
 * key, named by its interface key name) exists while it is plugged in. Disconnecting it deletes its
 * device and takes both names away, as a USB device's removal does; files still open on the old
 * device fail every request but cleanup and close.
 */
#pragma once

#define VPSIM_PRINTERS        8
#define VPSIM_PRINTERS_AT_LOAD 4
#define VPSIM_PRINTERS_VALUE  L"Printers"
#define VPSIM_DATA_DEVICE_PREFIX L"\\Device\\VpUsbSim" /* followed by the printer's index */
#define VPSIM_CONTROL_DEVICE  L"\\Device\\VpUsbSimControl"
#define VPSIM_CONTROL_LINK    L"\\DosDevices\\VpUsbSimControl"
#define VPSIM_CONTROL_WIN32   L"\\\\.\\VpUsbSimControl"

#define VPSIM_DEVICE_TYPE 0x8001u

/* Input ULONG printer; output VPSIM_STATE (all zero but AllOpenHandles for a printer without a
 * device). */
#define IOCTL_VPSIM_GET_STATE   CTL_CODE(VPSIM_DEVICE_TYPE, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input VPSIM_RECORD_QUERY; output VPSIM_RECORD. */
#define IOCTL_VPSIM_GET_RECORD  CTL_CODE(VPSIM_DEVICE_TYPE, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input ULONG printer, then 1..VPSIM_MAX_REPLY bytes: one reply, served to the next read (a
 * waiting read at once); a read shorter than the reply leaves the rest for the next read.
 * STATUS_INSUFFICIENT_RESOURCES when the printer holds too much undelivered already. */
#define IOCTL_VPSIM_QUEUE_REPLY CTL_CODE(VPSIM_DEVICE_TYPE, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input ULONG printer: forgets its records and counters (queued replies and waiting reads stay). */
#define IOCTL_VPSIM_RESET       CTL_CODE(VPSIM_DEVICE_TYPE, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input VPSIM_CONNECT: the printer is plugged in under the names given, with its records and
 * behaviour reset. STATUS_DEVICE_BUSY while it is connected or a file is still open on it;
 * STATUS_OBJECT_NAME_COLLISION when another device already answers under the device path. The
 * other codes fail with STATUS_NO_SUCH_DEVICE for a printer that has no device. */
#define IOCTL_VPSIM_CONNECT     CTL_CODE(VPSIM_DEVICE_TYPE, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input ULONG printer: unplugged for good; its device and device path go and waiting reads end
 * with STATUS_DEVICE_NOT_CONNECTED. Output (optional) ULONG: the files still open on any printer's
 * device; the driver may unload when there are none. */
#define IOCTL_VPSIM_DISCONNECT  CTL_CODE(VPSIM_DEVICE_TYPE, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input ULONG printer. Unplugged, the printer's presence key is gone, opens fail with
 * STATUS_NO_SUCH_DEVICE, reads and writes with STATUS_DEVICE_NOT_CONNECTED, waiting reads end
 * so and undelivered replies are lost. Plugged back, it works again. Either changes nothing for a
 * printer already in that state. */
#define IOCTL_VPSIM_UNPLUG      CTL_CODE(VPSIM_DEVICE_TYPE, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VPSIM_PLUG        CTL_CODE(VPSIM_DEVICE_TYPE, 0x907, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input VPSIM_BEHAVIOUR: how the printer answers from now on. */
#define IOCTL_VPSIM_SET_BEHAVIOUR CTL_CODE(VPSIM_DEVICE_TYPE, 0x908, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input VPSIM_FAIL_WRITE: the Nth write request from now (1 = the next) fails with Status. */
#define IOCTL_VPSIM_FAIL_WRITE  CTL_CODE(VPSIM_DEVICE_TYPE, 0x909, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input VPSIM_RECORD_QUERY; output as many whole records from Index on as fit: each a
 * VPSIM_ENTRY followed by its DataLength bytes. Information is the bytes filled; 0 when Index is
 * past the last record. */
#define IOCTL_VPSIM_GET_ENTRIES CTL_CODE(VPSIM_DEVICE_TYPE, 0x90A, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define VPSIM_MAX_DATA    256  /* bytes of a write kept in a VPSIM_RECORD */
#define VPSIM_MAX_REPLY   65536
#define VPSIM_NAME_CHARS  128  /* names in VPSIM_CONNECT, with their terminating zero */

/* What a record describes. */
#define VPSIM_OPEN           1 /* IRP_MJ_CREATE on the data device, accepted or refused */
#define VPSIM_WRITE          2 /* any write other than the status request */
#define VPSIM_STATUS_REQUEST 3 /* a write of exactly 0x10 0x04 0x01 */
#define VPSIM_CLEANUP        4
#define VPSIM_CLOSE          5
#define VPSIM_READ           6 /* a read answered with a reply (Length bytes, Data holds them) */
#define VPSIM_READ_CANCELLED 7 /* a waiting read cancelled by its requester */
#define VPSIM_READ_ENDED     8 /* a waiting read ended by the printer: Status says why */

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

/* VPSIM_ENTRY.Flags */
#define VPSIM_FROM_SYSTEM 0x1 /* VPSIM_OPEN: made in the system process's context */

/* A record in full, as IOCTL_VPSIM_GET_ENTRIES hands it out. */
typedef struct _VPSIM_ENTRY {
    ULONG Kind;
    LONG Status;          /* what the printer answered */
    ULONG File;           /* the open the request came through: 1 for the first since connect */
    ULONG Flags;
    ULONG DesiredAccess;  /* VPSIM_OPEN */
    ULONG CreateOptions;  /* VPSIM_OPEN: low 24 bits of the create parameters */
    ULONG Disposition;    /* VPSIM_OPEN: high 8 bits of the create parameters */
    USHORT ShareAccess;   /* VPSIM_OPEN */
    USHORT FileAttributes;
    ULONG Length;         /* bytes of the request (writes, reads) */
    ULONG DataLength;     /* bytes that follow the entry: the write's or the read's data */
} VPSIM_ENTRY;

typedef struct _VPSIM_STATE {
    ULONG RecordCount;    /* records kept since the last reset */
    ULONG LostRecords;    /* records that did not fit */
    ULONG OpenHandles;    /* data-device file objects created and not yet closed */
    ULONG WaitingReads;   /* reads waiting for a reply */
    ULONG QueuedReplies;  /* replies not yet served */
    ULONG ReadsSeen;      /* read requests since the last reset */
    ULONG StatusRequests; /* status requests since the last reset */
    ULONG Plugged;        /* 1 while plugged in */
    ULONG Connected;      /* 1 from a connect until the disconnect */
    ULONG AllOpenHandles; /* data-device files open on any of the driver's printers */
} VPSIM_STATE;

typedef struct _VPSIM_CONNECT {
    ULONG Printer;
    WCHAR LinkedId[VPSIM_NAME_CHARS];   /* presence key name; empty: none */
    WCHAR DevicePath[VPSIM_NAME_CHARS]; /* e.g. \??\USB#...; empty: only the device name */
} VPSIM_CONNECT;

typedef struct _VPSIM_BEHAVIOUR {
    ULONG Printer;
    LONG OpenStatus;          /* what opens are answered with while plugged in (0 = accepted) */
    ULONG WriteDelay;         /* each write takes this long before it completes (100 ns units) */
    ULONG StatusByte;         /* the answer to the status request */
    ULONG AnswerStatusRequest;
    ULONG NeverAnswer;        /* replies are held back: reads wait; turning it off delivers them */
    ULONG IgnoreCancel;       /* waiting reads cannot be cancelled (a reply, unplug or cleanup ends them) */
} VPSIM_BEHAVIOUR;

/* The behaviour a connect starts with. */
#define VPSIM_DEFAULT_STATUS_BYTE 0x12

typedef struct _VPSIM_FAIL_WRITE {
    ULONG Printer;
    ULONG Nth;
    LONG Status;
} VPSIM_FAIL_WRITE;
