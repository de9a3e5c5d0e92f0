/* Placeholder entry until the driver spine lands. */
#include "driver/vparallel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = VPARALLEL_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VPARALLEL_Close;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = VPARALLEL_Cleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = VPARALLEL_Read;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = VPARALLEL_Write;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VPARALLEL_IoControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = VPARALLEL_Pnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = VPARALLEL_Power;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = VPARALLEL_SystemControl;
    return STATUS_SUCCESS;
}
