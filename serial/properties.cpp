/*
 * properties.cpp - what the port reports about itself: its properties, its statistics and the
 * size of its provider configuration. The Win32 comm functions fill their structures from these
 * answers, so each one writes its whole record, zeroed first so that nothing the caller's buffer
 * held before leaks into the answer.
 *
 * PASSIVE_LEVEL, from VPARALLEL_IoControl, which has checked the output length.
 */
#include "serial/serial.h"
#include "buffers/ring_buffer.h"

/* Every standard rate can be set, and so can any other value (the rate is stored, not used). */
#define VP_SETTABLE_BAUD                                                                       \
    (SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 | SERIAL_BAUD_150 | SERIAL_BAUD_300 | \
     SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 |                 \
     SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 | SERIAL_BAUD_14400 |              \
     SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_56K | SERIAL_BAUD_57600 |             \
     SERIAL_BAUD_115200 | SERIAL_BAUD_128K | SERIAL_BAUD_USER)

#define VP_SETTABLE_DATA (SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8)

#define VP_SETTABLE_STOP_PARITY                                                 \
    (SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |             \
     SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |              \
     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE)

/* Bytes the receive ring holds at most; it is also the receive queue's fixed size. */
#define VP_RX_QUEUE_SIZE (RX_BUFFER_SIZE - 1)

/*
 * The emulated port as it is: writes go to the device synchronously, so there is no transmit
 * queue (0: no limit imposed); the receive queue is the ring. The settable parameters are those
 * the set requests store and read back. Of the provider capabilities only the emulated modem
 * lines are real: DTR drives DSR and RTS drives CTS. Flow control, parity checking, XON/XOFF and
 * interval time-outs are not carried out, so they are not claimed.
 */
NTSTATUS SerialGetProperties(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    PSERIAL_COMMPROP properties = (PSERIAL_COMMPROP)Irp->AssociatedIrp.SystemBuffer;

    RtlZeroMemory(properties, sizeof(SERIAL_COMMPROP));
    properties->PacketLength = sizeof(SERIAL_COMMPROP);
    properties->PacketVersion = VP_COMMPROP_VERSION;
    properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    properties->MaxTxQueue = 0;
    properties->MaxRxQueue = VP_RX_QUEUE_SIZE;
    properties->MaxBaud = SERIAL_BAUD_USER;
    properties->ProvSubType = SERIAL_SP_RS232;
    properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS;
    properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING;
    properties->SettableBaud = VP_SETTABLE_BAUD;
    properties->SettableData = VP_SETTABLE_DATA;
    properties->SettableStopParity = VP_SETTABLE_STOP_PARITY;
    properties->CurrentTxQueue = 0;
    properties->CurrentRxQueue = VP_RX_QUEUE_SIZE;
    return STATUS_SUCCESS;
}

/* The driver counts the bytes stored into the ring and the bytes written to the device; it sees
 * no framing, overrun or parity errors, so those stay 0. */
NTSTATUS SerialGetStats(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PSERIALPERF_STATS stats = (PSERIALPERF_STATS)Irp->AssociatedIrp.SystemBuffer;

    RtlZeroMemory(stats, sizeof(SERIALPERF_STATS));
    stats->ReceivedCount = (ULONG)InterlockedCompareExchange(&Extension->ReceivedCount, 0, 0);
    stats->TransmittedCount = (ULONG)InterlockedCompareExchange(&Extension->TransmittedCount, 0, 0);
    return STATUS_SUCCESS;
}

/* The counters are kept with interlocked additions by the read thread and the writes, so they are
 * cleared the same way. */
NTSTATUS SerialClearStats(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    InterlockedExchange(&Extension->ReceivedCount, 0);
    InterlockedExchange(&Extension->TransmittedCount, 0);
    return STATUS_SUCCESS;
}

/* The port has no provider-specific configuration: its size is 0. */
NTSTATUS SerialConfigSize(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = 0;
    return STATUS_SUCCESS;
}
