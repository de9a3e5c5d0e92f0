/*
 * device_open.cpp - every open of the USB device, the port's write handle and the status request.
 *
 * PASSIVE_LEVEL. CreateWriteHandle and SendStatusRequest run in dispatch routines, in the context
 * of the application that opened the port; the read thread opens in the system process. Every
 * device handle is a kernel handle: in the application's handle table the application could close
 * it and put another object of its own at the same value, which the driver's next kernel-mode
 * write would then reach without an access check. WriteHandle is replaced only by callers holding
 * the port mutex (see its declaration in device_extension.h).
 */
#include "link/link.h"

/* Indexed by VP_OPEN_PROFILE. The USB device's own driver accepts exactly these sets. */
const VP_OPEN_PARAMETERS VpOpenProfiles[VpOpenProfileCount] = {
    /* VpOpenWriteHandle */
    {SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA, FILE_ATTRIBUTE_DEVICE,
     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
     FILE_DELETE_ON_CLOSE | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT},
    /* VpOpenWrite */
    {SYNCHRONIZE | FILE_WRITE_DATA, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_WRITE, FILE_OPEN_IF,
     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT},
    /* VpOpenRead: no SYNCHRONIZE, so reads may pend and complete through an event */
    {FILE_READ_DATA | FILE_WRITE_DATA, FILE_ATTRIBUTE_DEVICE, FILE_SHARE_READ | FILE_SHARE_WRITE,
     FILE_OPEN_IF, FILE_DELETE_ON_CLOSE | FILE_NON_DIRECTORY_FILE},
};

NTSTATUS OpenUsbDevicePath(PUNICODE_STRING DevicePath, VP_OPEN_PROFILE Profile, PHANDLE Handle)
{
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;

    *Handle = NULL;
    if ((ULONG)Profile >= VpOpenProfileCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const VP_OPEN_PARAMETERS &p = VpOpenProfiles[Profile];

    /* The path is matched as the installer stored it (no OBJ_CASE_INSENSITIVE). */
    InitializeObjectAttributes(&attributes, DevicePath, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle = NULL;
    NTSTATUS status = ZwCreateFile(&handle, p.DesiredAccess, &attributes, &ioStatus, NULL,
                                   p.FileAttributes, p.ShareAccess, p.CreateDisposition,
                                   p.CreateOptions, NULL, 0);
    if (NT_SUCCESS(status)) {
        *Handle = handle;
    }
    return status;
}

NTSTATUS OpenUsbDevice(PDEVICE_EXTENSION Extension, VP_OPEN_PROFILE Profile, PHANDLE Handle)
{
    UNICODE_STRING path;

    /* GetUsbHardwareId always leaves HardwareId terminated; the bound keeps the counted string
     * inside the field all the same. */
    ULONG chars = 0;
    while (chars < VP_NAME_CHARS - 1 && Extension->HardwareId[chars] != L'\0') {
        chars++;
    }
    path.Buffer = Extension->HardwareId;
    path.Length = (USHORT)(chars * sizeof(WCHAR));
    path.MaximumLength = (USHORT)(VP_NAME_CHARS * sizeof(WCHAR));
    return OpenUsbDevicePath(&path, Profile, Handle);
}

VOID CloseWriteHandle(PDEVICE_EXTENSION Extension)
{
    HANDLE handle = VpWriteHandle(Extension);

    if (handle != NULL) {
        VpSetWriteHandle(Extension, NULL);
        ZwClose(handle);
    }
}

NTSTATUS CreateWriteHandle(PDEVICE_EXTENSION Extension)
{
    /* The previous handle goes first, also when the new open then fails. */
    CloseWriteHandle(Extension);
    HANDLE handle = NULL;
    NTSTATUS status = OpenUsbDevice(Extension, VpOpenWriteHandle, &handle);
    VpSetWriteHandle(Extension, handle);
    return status;
}

VOID SendStatusRequest(PDEVICE_EXTENSION Extension)
{
    HANDLE handle;
    IO_STATUS_BLOCK ioStatus;
    UCHAR request[VP_STATUS_REQUEST_LENGTH] = {0x10, 0x04, 0x01}; /* DLE EOT 1 */

    if (!NT_SUCCESS(OpenUsbDevice(Extension, VpOpenWrite, &handle))) {
        return;
    }
    /* Synchronous handle: the write is done when the call returns. Its result changes nothing
     * for the caller, which is closing the port. */
    ZwWriteFile(handle, NULL, NULL, NULL, &ioStatus, request, VP_STATUS_REQUEST_LENGTH, NULL, NULL);
    ZwClose(handle);
}
