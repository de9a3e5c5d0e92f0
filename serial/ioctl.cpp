/*
 * ioctl.cpp - VPARALLEL_IoControl: the serial control requests, answered from the emulated port
 * state in the extension. There is no serial hardware: settings are stored and read back, the
 * modem lines are emulated, and requests that would act on hardware simply succeed.
 *
 * Runs at PASSIVE_LEVEL in the requester's thread, whether the port is open or not; a request
 * through a handle other than the port's open is refused (VpRequestFromOwner).
 *
 * Buffers: every code uses buffered transfer; the input lies at the start of the system buffer
 * and the output is written over it. A request whose input is shorter than the record its code
 * reads, or whose output buffer is shorter than the record its code writes, is refused with
 * STATUS_BUFFER_TOO_SMALL and changes nothing. Information is never more than the caller's output
 * length: the set requests report the size of their record only when the caller left room for it.
 */
#include "serial/serial.h"

typedef struct _SERIAL_CONTROL_ENTRY {
    ULONG Code;
    ULONG InputLength;  /* bytes the handler reads */
    ULONG OutputLength; /* bytes the handler writes */
    ULONG Information;  /* bytes reported on success, before the cap at the output length */
    /* NULL for a setting stored and read back whole: the input is copied into the extension at
     * Setting, or the extension at Setting into the output. */
    PSERIAL_HANDLER Handler;
    ULONG Setting;
} SERIAL_CONTROL_ENTRY;

#define VP_SETTING(Field) FIELD_OFFSET(DEVICE_EXTENSION, Field)

/* One row per code served. Codes outside the table fail with STATUS_UNSUCCESSFUL, among them
 * GET_COMMCONFIG, SET_COMMCONFIG and APPLY_DEFAULT_CONFIGURATION. */
static const SERIAL_CONTROL_ENTRY SerialControlTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(ULONG), 0, sizeof(ULONG), NULL, VP_SETTING(BaudRate)},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, sizeof(SERIAL_LINE_CONTROL), NULL, VP_SETTING(LineControl)},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, sizeof(SERIAL_TIMEOUTS), SerialSetTimeouts, 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), sizeof(SERIAL_TIMEOUTS), SerialGetTimeouts, 0},
    {IOCTL_SERIAL_SET_DTR, 0, 0, 0, SerialDriveLine, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, 0, SerialDriveLine, 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0, 0, SerialDriveLine, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, 0, SerialDriveLine, 0},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_SET_XON, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG), sizeof(ULONG), SerialGetWaitMask, 0},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0, 0, SerialSetWaitMask, 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG), 0, SerialWaitOnMask, 0},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0, sizeof(ULONG), SerialPurge, 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(ULONG), sizeof(ULONG), NULL, VP_SETTING(BaudRate)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), sizeof(SERIAL_LINE_CONTROL), NULL, VP_SETTING(LineControl)},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), sizeof(SERIAL_CHARS), NULL, VP_SETTING(SpecialChars)},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, 0, NULL, VP_SETTING(SpecialChars)},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), sizeof(SERIAL_HANDFLOW), NULL, VP_SETTING(HandFlow)},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, sizeof(SERIAL_HANDFLOW), NULL, VP_SETTING(HandFlow)},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG), sizeof(ULONG), SerialGetModemStatus, 0},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), sizeof(SERIAL_STATUS), SerialGetCommStatus, 0},
    {IOCTL_SERIAL_XOFF_COUNTER, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP), sizeof(SERIAL_COMMPROP), SerialGetProperties, 0},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG), sizeof(ULONG), SerialGetDtrRts, 0},
    {IOCTL_SERIAL_LSRMST_INSERT, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG), sizeof(ULONG), SerialConfigSize, 0},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS), sizeof(SERIALPERF_STATS), SerialGetStats, 0},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, 0, SerialClearStats, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG), sizeof(ULONG), SerialGetModemControl, 0},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0, sizeof(ULONG), SerialSetModemControl, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, 0, SerialSucceedWithoutEffect, 0},
    {IOCTL_VPARALLEL_NOTIFY_REMOVAL, 0, 0, 0, SerialNotifyRemoval, 0},
    {IOCTL_VPARALLEL_NOP, 0, 0, 0, SerialSucceedWithoutEffect, 0},
};

static const SERIAL_CONTROL_ENTRY *FindControlEntry(ULONG Code)
{
    for (ULONG i = 0; i < sizeof(SerialControlTable) / sizeof(SerialControlTable[0]); i++) {
        if (SerialControlTable[i].Code == Code) {
            return &SerialControlTable[i];
        }
    }
    return NULL;
}

/* The setting at offset Setting in the extension: stored from the input (InputLength bytes) or
 * read back into the output (OutputLength), whole. Settings are written and read only by control
 * requests, without a lock (see device_extension.h). */
static NTSTATUS CopySetting(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Setting, ULONG InputLength,
                            ULONG OutputLength)
{
    PUCHAR field = (PUCHAR)Extension + Setting;

    if (InputLength != 0) {
        RtlCopyMemory(field, Irp->AssociatedIrp.SystemBuffer, InputLength);
    } else {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, field, OutputLength);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS CompleteControlRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS VPARALLEL_IoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    Irp->IoStatus.Information = 0;

    if (!VpRequestFromOwner(extension, Irp)) {
        return CompleteControlRequest(Irp, STATUS_FILE_CLOSED, 0);
    }
    const SERIAL_CONTROL_ENTRY *entry = FindControlEntry(stack->Parameters.DeviceIoControl.IoControlCode);
    if (entry == NULL) {
        return CompleteControlRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (inputLength < entry->InputLength || outputLength < entry->OutputLength) {
        return CompleteControlRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }

    NTSTATUS status = entry->Handler != NULL ? entry->Handler(extension, Irp)
                                             : CopySetting(extension, Irp, entry->Setting, entry->InputLength,
                                                           entry->OutputLength);
    if (status == STATUS_PENDING) {
        /* Left pending on purpose: the handler parked the request (or already completed it). */
        return STATUS_PENDING;
    }
    ULONG information = entry->Information < outputLength ? entry->Information : outputLength;
    return CompleteControlRequest(Irp, status, information);
}
