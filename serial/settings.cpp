/*
 * settings.cpp - the emulated settings: baud rate, line control, time-outs, flow control and the
 * special characters. Each is copied whole between the request's record and the extension field
 * of the same name, and kept until the device is removed; opening and closing the port does not
 * reset them.
 *
 * PASSIVE_LEVEL, from VPARALLEL_IoControl, which has checked the buffer lengths. The settings are
 * read and written without a lock, field by field: nothing else in the driver changes them, and
 * the reads consult only the single 32-bit ReadTotalTimeoutConstant.
 */
#include "serial/serial.h"

static PVOID SystemBuffer(PIRP Irp)
{
    return Irp->AssociatedIrp.SystemBuffer;
}

/* Requests that act on hardware the port does not have succeed without doing anything. */
NTSTATUS SerialNothing(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetBaudRate(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    Extension->BaudRate = ((PSERIAL_BAUD_RATE)SystemBuffer(Irp))->BaudRate;
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetBaudRate(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ((PSERIAL_BAUD_RATE)SystemBuffer(Irp))->BaudRate = Extension->BaudRate;
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetLineControl(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(&Extension->LineControl, SystemBuffer(Irp), sizeof(SERIAL_LINE_CONTROL));
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetLineControl(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(SystemBuffer(Irp), &Extension->LineControl, sizeof(SERIAL_LINE_CONTROL));
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetTimeouts(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(&Extension->Timeouts, SystemBuffer(Irp), sizeof(SERIAL_TIMEOUTS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetTimeouts(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(SystemBuffer(Irp), &Extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetHandFlow(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(&Extension->HandFlow, SystemBuffer(Irp), sizeof(SERIAL_HANDFLOW));
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetHandFlow(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(SystemBuffer(Irp), &Extension->HandFlow, sizeof(SERIAL_HANDFLOW));
    return STATUS_SUCCESS;
}

/* The characters are stored for GET_CHARS only: the port neither sends XON/XOFF nor watches for
 * the event character. */
NTSTATUS SerialSetChars(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(&Extension->SpecialChars, SystemBuffer(Irp), sizeof(SERIAL_CHARS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetChars(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    RtlCopyMemory(SystemBuffer(Irp), &Extension->SpecialChars, sizeof(SERIAL_CHARS));
    return STATUS_SUCCESS;
}
