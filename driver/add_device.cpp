/*
 * add_device.cpp - one functional device object per port, and the driver's unload routine.
 * Runs at PASSIVE_LEVEL in the Plug and Play manager's thread, before any request reaches the
 * new device, so nothing here takes a lock.
 */
#include <initguid.h> /* defines GUID_DEVINTERFACE_COMPORT in this file */

#include "driver/vparallel.h"
#include "buffers/ring_buffer.h"

#define VP_DEFAULT_BAUD_RATE 115200
#define VP_DEFAULT_WORD_LENGTH 8
#define VP_DEFAULT_MODEL_CLASS 1
#define VP_XON_CHAR 0x11
#define VP_XOFF_CHAR 0x13

/* The extension is zeroed before this runs; only the values that are not zero are set here. */
static VOID InitializeExtension(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT PhysicalDeviceObject)
{
    Extension->BaudRate = VP_DEFAULT_BAUD_RATE;
    Extension->LineControl.StopBits = 0;
    Extension->LineControl.Parity = 0;
    Extension->LineControl.WordLength = VP_DEFAULT_WORD_LENGTH;
    Extension->ModelClass = VP_DEFAULT_MODEL_CLASS;
    Extension->Pdo = PhysicalDeviceObject;
    Extension->SpecialChars.XonChar = VP_XON_CHAR;
    Extension->SpecialChars.XoffChar = VP_XOFF_CHAR;
    for (ULONG i = 0; i < VP_EVENT_COUNT; i++) {
        KeInitializeEvent(&Extension->Events[i], NotificationEvent, FALSE);
    }
    KeInitializeSpinLock(&Extension->Lock);
    KeInitializeMutex(&Extension->PortMutex, 0);
}

/* Undoes AddDevice after the ring was allocated; LowerDevice is NULL when the attach never
 * happened. */
static VOID DiscardDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (extension->LowerDevice != NULL) {
        IoDetachDevice(extension->LowerDevice);
        extension->LowerDevice = NULL;
    }
    RxBufferFree(extension->RxBuffer);
    extension->RxBuffer = NULL;
    IoDeleteDevice(DeviceObject);
}

NTSTATUS VPARALLEL_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL,
                                     FILE_DEVICE_PARALLEL_PORT, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));

    /* The rest of the driver relies on RxBuffer being present: no ring, no device. */
    extension->RxBuffer = RxBufferAllocate();
    if (extension->RxBuffer == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    InitializeExtension(extension, PhysicalDeviceObject);
    InitializeRefusalLog(extension, fdo);
    fdo->Flags |= DO_BUFFERED_IO;

    extension->LowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (extension->LowerDevice == NULL) {
        DiscardDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }

    /* Enabled only once the port is started and published. */
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        DiscardDevice(fdo);
        return status;
    }

    /* The port's DOS names lead to the PDO, so callers asking the opened device for its type must
     * see a parallel port. Changed only once the device is in place, so a failed AddDevice leaves
     * the PDO as it found it. */
    PhysicalDeviceObject->DeviceType = FILE_DEVICE_PARALLEL_PORT;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

/* All per-device state is released when each device is removed: nothing is left to free. */
VOID VPARALLEL_Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}
