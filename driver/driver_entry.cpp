/*
 * driver_entry.cpp - where the system first enters the driver. Runs at PASSIVE_LEVEL in a system
 * thread, before any request reaches a device; the driver keeps no global state.
 */
#include "driver/vparallel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    /* Vetoed: register nothing, so the system unloads the image at once. */
    if (IsSkipKeyPressed()) {
        return STATUS_UNSUCCESSFUL;
    }

    /* Every other major function keeps the system's default, which refuses the request. */
    DriverObject->MajorFunction[IRP_MJ_CREATE] = VPARALLEL_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VPARALLEL_Close;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = VPARALLEL_Cleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = VPARALLEL_Read;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = VPARALLEL_Write;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = VPARALLEL_Flush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VPARALLEL_IoControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = VPARALLEL_Pnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = VPARALLEL_Power;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = VPARALLEL_SystemControl;
    DriverObject->DriverUnload = VPARALLEL_Unload;
    DriverObject->DriverExtension->AddDevice = VPARALLEL_AddDevice;
    return STATUS_SUCCESS;
}
