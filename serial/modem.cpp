/*
 * modem.cpp - the emulated modem lines, and the requests whose answer depends on whether the USB
 * device is present.
 *
 * ModemStatus holds at most SERIAL_CTS_STATE and SERIAL_DSR_STATE. The DTR requests drive DSR and
 * the RTS requests drive CTS; the presence test drives both (here for GET_MODEMSTATUS, elsewhere
 * for open, read, write and surprise removal). ModemStatus, DtrRts and ModemControl are atomic
 * (device_extension.h): open, reads, writes and surprise removal change ModemStatus from their own
 * threads, and the emulation thread reads ModemControl.
 *
 * PASSIVE_LEVEL, from VPARALLEL_IoControl: IsLinkedUsb opens a registry key.
 */
#include "serial/serial.h"
#include "buffers/ring_buffer.h"
#include "link/link.h"

/* SET_DTR, CLR_DTR, SET_RTS and CLR_RTS: DTR drives DSR, RTS drives CTS. */
NTSTATUS SerialDriveLine(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    BOOLEAN dtr = code == IOCTL_SERIAL_SET_DTR || code == IOCTL_SERIAL_CLR_DTR;
    ULONG control = dtr ? SERIAL_DTR_STATE : SERIAL_RTS_STATE;
    ULONG line = dtr ? SERIAL_DSR_STATE : SERIAL_CTS_STATE;

    if (code == IOCTL_SERIAL_SET_DTR || code == IOCTL_SERIAL_SET_RTS) {
        VpSetBits(&Extension->DtrRts, control);
        VpSetBits(&Extension->ModemStatus, line);
    } else {
        VpClearBits(&Extension->DtrRts, control);
        VpClearBits(&Extension->ModemStatus, line);
    }
    return STATUS_SUCCESS;
}

/* DTR and RTS as the DTR and RTS requests left them. */
NTSTATUS SerialGetDtrRts(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = VpLoad(&Extension->DtrRts) & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    return STATUS_SUCCESS;
}

/* Reports the lines raised whenever the device is present, whatever DTR and RTS did before, and
 * keeps that answer in ModemStatus. An absent device is not an error here: it reports no lines. */
NTSTATUS SerialGetModemStatus(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG lines = 0;
    if (IsLinkedUsb(Extension)) {
        lines = VP_MODEM_LINES;
    }
    VpStore(&Extension->ModemStatus, lines);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = lines;
    return STATUS_SUCCESS;
}

/* The receive queue is the ring; nothing is ever queued for transmission. */
NTSTATUS SerialGetCommStatus(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!IsLinkedUsb(Extension)) {
        return STATUS_UNSUCCESSFUL;
    }
    PSERIAL_STATUS status = (PSERIAL_STATUS)Irp->AssociatedIrp.SystemBuffer;
    RtlZeroMemory(status, sizeof(SERIAL_STATUS));
    status->AmountInInQueue = RxBufferCount(Extension->RxBuffer);
    return STATUS_SUCCESS;
}

/* The whole value is kept for GET_MODEM_CONTROL and for the emulation polling thread, which reads
 * bits 0x10 and 0x20 as the CTS and DSR events. DSR follows bit 0x01 and CTS bit 0x10; no other
 * bit touches ModemStatus. */
NTSTATUS SerialSetModemControl(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!IsLinkedUsb(Extension)) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG value = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    ULONG lines = 0;
    if (value & VP_MCR_DSR_LINE) {
        lines |= SERIAL_DSR_STATE;
    }
    if (value & VP_MCR_CTS_LINE) {
        lines |= SERIAL_CTS_STATE;
    }
    VpStore(&Extension->ModemControl, value);
    VpStore(&Extension->ModemStatus, lines);
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetModemControl(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!IsLinkedUsb(Extension)) {
        return STATUS_UNSUCCESSFUL;
    }
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = VpLoad(&Extension->ModemControl);
    return STATUS_SUCCESS;
}
