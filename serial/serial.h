/*
 * serial.h - the serial control requests: control codes, the dispatch table's handlers and the
 * routines the other folders call.
 *
 * Every handler runs at PASSIVE_LEVEL in the requester's thread, from VPARALLEL_IoControl, after
 * the dispatch has checked the request's buffers against its table row: a handler may read the
 * row's input length and write the row's output length at the start of the system buffer.
 *
 * A handler returns the request's status. VPARALLEL_IoControl completes the request unless the
 * handler returns STATUS_PENDING, in which case the handler owns the request and has already
 * parked it (or completed it when it was cancelled at once).
 */
#pragma once

#include "driver/vparallel.h"

/* ---- Published serial codes that some <ntddser.h> versions lack -------------------------- */
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION
#define IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef SERIAL_SP_SERIALCOMM
#define SERIAL_SP_SERIALCOMM 0x00000001 /* COMMPROP.ServiceMask: a serial communication device */
#endif
#ifndef SERIAL_SP_RS232
#define SERIAL_SP_RS232 0x00000001      /* COMMPROP.ProvSubType */
#endif

/* ---- Emulated modem lines ------------------------------------------------------------------ */
/* ModemStatus holds only VP_MODEM_LINES. DTR drives DSR, RTS drives CTS. */
/* In the value of IOCTL_SERIAL_SET_MODEM_CONTROL, bit 0x01 raises DSR and bit 0x10 raises CTS;
 * the emulation polling thread reads bits 0x10 and 0x20 as the CTS and DSR events. */
#define VP_MCR_DSR_LINE SERIAL_IOC_MCR_DTR
#define VP_MCR_CTS_LINE 0x00000010

/* The version of SERIAL_COMMPROP that GET_PROPERTIES answers with. */
#define VP_COMMPROP_VERSION 2

/* ---- The build checks the codes and records against their published values ------------- */
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004, "control code");
static_assert(IOCTL_SERIAL_SET_QUEUE_SIZE == 0x1B0008, "control code");
static_assert(IOCTL_SERIAL_SET_LINE_CONTROL == 0x1B000C, "control code");
static_assert(IOCTL_SERIAL_SET_BREAK_ON == 0x1B0010, "control code");
static_assert(IOCTL_SERIAL_SET_BREAK_OFF == 0x1B0014, "control code");
static_assert(IOCTL_SERIAL_IMMEDIATE_CHAR == 0x1B0018, "control code");
static_assert(IOCTL_SERIAL_SET_TIMEOUTS == 0x1B001C, "control code");
static_assert(IOCTL_SERIAL_GET_TIMEOUTS == 0x1B0020, "control code");
static_assert(IOCTL_SERIAL_SET_DTR == 0x1B0024, "control code");
static_assert(IOCTL_SERIAL_CLR_DTR == 0x1B0028, "control code");
static_assert(IOCTL_SERIAL_RESET_DEVICE == 0x1B002C, "control code");
static_assert(IOCTL_SERIAL_SET_RTS == 0x1B0030, "control code");
static_assert(IOCTL_SERIAL_CLR_RTS == 0x1B0034, "control code");
static_assert(IOCTL_SERIAL_SET_XOFF == 0x1B0038, "control code");
static_assert(IOCTL_SERIAL_SET_XON == 0x1B003C, "control code");
static_assert(IOCTL_SERIAL_GET_WAIT_MASK == 0x1B0040, "control code");
static_assert(IOCTL_SERIAL_SET_WAIT_MASK == 0x1B0044, "control code");
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x1B0048, "control code");
static_assert(IOCTL_SERIAL_PURGE == 0x1B004C, "control code");
static_assert(IOCTL_SERIAL_GET_BAUD_RATE == 0x1B0050, "control code");
static_assert(IOCTL_SERIAL_GET_LINE_CONTROL == 0x1B0054, "control code");
static_assert(IOCTL_SERIAL_GET_CHARS == 0x1B0058, "control code");
static_assert(IOCTL_SERIAL_SET_CHARS == 0x1B005C, "control code");
static_assert(IOCTL_SERIAL_GET_HANDFLOW == 0x1B0060, "control code");
static_assert(IOCTL_SERIAL_SET_HANDFLOW == 0x1B0064, "control code");
static_assert(IOCTL_SERIAL_GET_MODEMSTATUS == 0x1B0068, "control code");
static_assert(IOCTL_SERIAL_GET_COMMSTATUS == 0x1B006C, "control code");
static_assert(IOCTL_SERIAL_XOFF_COUNTER == 0x1B0070, "control code");
static_assert(IOCTL_SERIAL_GET_PROPERTIES == 0x1B0074, "control code");
static_assert(IOCTL_SERIAL_GET_DTRRTS == 0x1B0078, "control code");
static_assert(IOCTL_SERIAL_LSRMST_INSERT == 0x1B007C, "control code");
static_assert(IOCTL_SERIAL_CONFIG_SIZE == 0x1B0080, "control code");
static_assert(IOCTL_SERIAL_GET_COMMCONFIG == 0x1B0084, "control code");
static_assert(IOCTL_SERIAL_SET_COMMCONFIG == 0x1B0088, "control code");
static_assert(IOCTL_SERIAL_GET_STATS == 0x1B008C, "control code");
static_assert(IOCTL_SERIAL_CLEAR_STATS == 0x1B0090, "control code");
static_assert(IOCTL_SERIAL_GET_MODEM_CONTROL == 0x1B0094, "control code");
static_assert(IOCTL_SERIAL_SET_MODEM_CONTROL == 0x1B0098, "control code");
static_assert(IOCTL_SERIAL_SET_FIFO_CONTROL == 0x1B009C, "control code");
static_assert(IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION == 0x1B00A0, "control code");
static_assert(IOCTL_VPARALLEL_NOTIFY_REMOVAL == 0x222000, "control code");
static_assert(IOCTL_VPARALLEL_NOP == 0x222004, "control code");

static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "record size");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "record size");
static_assert(sizeof(SERIAL_STATUS) == 20, "record size");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "record size");
static_assert(sizeof(SERIAL_CHARS) == 6, "record size");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "record size");
static_assert(sizeof(SERIALPERF_STATS) == 24, "record size");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "record size");
static_assert(sizeof(ULONG) == 4, "32-bit masks and counts");

/* ---- Handlers of the dispatch table ------------------------------------------------------- */
typedef NTSTATUS SERIAL_HANDLER(PDEVICE_EXTENSION Extension, PIRP Irp);
typedef SERIAL_HANDLER *PSERIAL_HANDLER;

/* serial/settings.cpp: the time-outs (the other settings are copied by the dispatch itself) */
SERIAL_HANDLER SerialSucceedWithoutEffect;
SERIAL_HANDLER SerialSetTimeouts;
SERIAL_HANDLER SerialGetTimeouts;

/* serial/properties.cpp: what the port reports about itself */
SERIAL_HANDLER SerialGetProperties;
SERIAL_HANDLER SerialGetStats;
SERIAL_HANDLER SerialClearStats;
SERIAL_HANDLER SerialConfigSize;

/* serial/modem.cpp: the emulated modem lines and the presence-dependent queries */
SERIAL_HANDLER SerialDriveLine; /* SET_DTR, CLR_DTR, SET_RTS, CLR_RTS */
SERIAL_HANDLER SerialGetDtrRts;
SERIAL_HANDLER SerialGetModemStatus;
SERIAL_HANDLER SerialGetCommStatus;
SERIAL_HANDLER SerialSetModemControl;
SERIAL_HANDLER SerialGetModemControl;

/* serial/wait_mask.cpp */
SERIAL_HANDLER SerialGetWaitMask;
SERIAL_HANDLER SerialSetWaitMask;
SERIAL_HANDLER SerialWaitOnMask;

/* serial/purge.cpp */
SERIAL_HANDLER SerialPurge;

/* serial/notify.cpp */
SERIAL_HANDLER SerialNotifyRemoval;
DRIVER_CANCEL N_CancelRoutine; /* entered holding the cancel spin lock */

/* Takes the request out of the wait-request queue if it is there, keeping the order of the
 * others. Caller holds Lock. Returns TRUE when it was found. */
BOOLEAN RemoveWaitRequest(PDEVICE_EXTENSION Extension, PIRP Irp);
