/*
 * vparallel.h - the driver's routines as the I/O manager and the other folders see them.
 * Every routine here runs at PASSIVE_LEVEL unless its comment says otherwise.
 */
#pragma once

#include "driver/device_extension.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

/* driver/ */
DRIVER_UNLOAD VPARALLEL_Unload;
DRIVER_ADD_DEVICE VPARALLEL_AddDevice;
DRIVER_DISPATCH VPARALLEL_Pnp;
DRIVER_DISPATCH VPARALLEL_Power;          /* may run at DISPATCH_LEVEL */
DRIVER_DISPATCH VPARALLEL_SystemControl;
IO_COMPLETION_ROUTINE StartCompletionRoutine; /* may run at DISPATCH_LEVEL */
NTSTATUS PublishPort(PDEVICE_OBJECT DeviceObject);
VOID UnpublishPort(PDEVICE_OBJECT DeviceObject);
VOID WriteDeviceMapValue(PCWSTR ValueName, PUNICODE_STRING KeyPath, PCWSTR Data, ULONG DataLength);
ULONG IsSkipKeyPressed(VOID);

/* port/ */
DRIVER_DISPATCH VPARALLEL_Create;
DRIVER_DISPATCH VPARALLEL_Cleanup;
DRIVER_DISPATCH VPARALLEL_Close;
DRIVER_DISPATCH VPARALLEL_Read;
DRIVER_DISPATCH VPARALLEL_Write;
DRIVER_DISPATCH VPARALLEL_Flush;
DRIVER_CANCEL R_CancelRoutine;            /* entered holding the cancel spin lock */
KSTART_ROUTINE pReadThreadFunction;
KSTART_ROUTINE pReadPollingFunction;
KSTART_ROUTINE pEmulationPollingFunction;

/* serial/ */
DRIVER_DISPATCH VPARALLEL_IoControl;
DRIVER_CANCEL W_CancelRoutine;            /* entered holding the cancel spin lock */
/* Claims a wait-on-mask request taken out of the queue and completes it with these events
 * (Information 4). FALSE when its cancel routine owns it. Caller holds Lock. */
BOOLEAN CompleteTakenWait(PIRP WaitIrp, ULONG Events);
/* Completes the request parked by IOCTL_VPARALLEL_NOTIFY_REMOVAL, if any, with STATUS_SUCCESS.
 * Called by surprise removal; takes Lock, so the caller must not hold it. */
VOID CompleteNotifyIrp(PDEVICE_EXTENSION Extension);
