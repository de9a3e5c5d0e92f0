/*
 * settings.cpp - the emulated settings: baud rate, line control, time-outs, flow control and the
 * special characters. Each is copied whole between the request's record and the extension field
 * of the same name, and kept until the device is removed; opening and closing the port does not
 * reset them. All but the time-outs are plain copies, which VPARALLEL_IoControl makes from its
 * table (ioctl.cpp); the special characters are kept for GET_CHARS only: the port neither sends
 * XON/XOFF nor watches for the event character.
 *
 * PASSIVE_LEVEL, from VPARALLEL_IoControl, which has checked the buffer lengths. The settings are
 * read and written without a lock: nothing else in the driver changes them. The time-outs are
 * also read by every read request, which fixes the read members it finds for its whole wait, so
 * each of their members is stored and loaded atomically.
 */
#include "serial/serial.h"

static PVOID SystemBuffer(PIRP Irp)
{
    return Irp->AssociatedIrp.SystemBuffer;
}

/* Requests that act on hardware the port does not have succeed without doing anything. */
NTSTATUS SerialSucceedWithoutEffect(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}

/* SERIAL_TIMEOUTS is five ULONGs; each is copied on its own. */
#define VP_TIMEOUT_MEMBERS (sizeof(SERIAL_TIMEOUTS) / sizeof(ULONG))
static_assert(VP_TIMEOUT_MEMBERS == 5, "SERIAL_TIMEOUTS holds five ULONGs");

/* A read with all three read members MAXULONG would have no meaning (return at once, and wait
 * for ever for the first byte); serial ports refuse it, and so does this one, changing nothing. */
NTSTATUS SerialSetTimeouts(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    const ULONG *input = (const ULONG *)SystemBuffer(Irp);
    const SERIAL_TIMEOUTS *requested = (const SERIAL_TIMEOUTS *)input;
    volatile ULONG *members = (volatile ULONG *)&Extension->Timeouts;

    if (requested->ReadIntervalTimeout == MAXULONG && requested->ReadTotalTimeoutMultiplier == MAXULONG &&
        requested->ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < VP_TIMEOUT_MEMBERS; i++) {
        VpStore(&members[i], input[i]);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetTimeouts(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG *output = (ULONG *)SystemBuffer(Irp);
    volatile ULONG *members = (volatile ULONG *)&Extension->Timeouts;

    for (ULONG i = 0; i < VP_TIMEOUT_MEMBERS; i++) {
        output[i] = VpLoad(&members[i]);
    }
    return STATUS_SUCCESS;
}
