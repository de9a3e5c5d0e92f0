/*
 * link.h - the port's link to its USB device.
 *
 * An installer stores two values under the link key (VP_LINK_KEY in public/vparallel_public.h):
 * "HardwareId", the object-namespace path under which the USB device is opened, and "LinkedId",
 * the name of the device's key under the USB device-interface class key. Everything that depends
 * on that pair lives here: reading it, accepting the vendor, classifying the model, testing that
 * the device is present, and opening the device.
 *
 * Every routine here runs at PASSIVE_LEVEL (registry and file services), takes no lock and prints
 * nothing; the callers report failures. Those that replace WriteHandle are called holding
 * PortMutex (see device_extension.h).
 */
#pragma once

#include "driver/device_extension.h"

/* ---- Open profiles ------------------------------------------------------------------------ */
/* Every open of the USB device in the driver uses one of these parameter sets; the object
 * attributes are always 0 (no OBJ_CASE_INSENSITIVE, no OBJ_KERNEL_HANDLE), so a handle belongs
 * to the process in whose context the open runs. */
typedef enum _VP_OPEN_PROFILE {
    VpOpenWriteHandle = 0, /* CreateWriteHandle: synchronous, read and write, delete on close */
    VpOpenWrite = 1,       /* write requests and the status request: synchronous, write only */
    VpOpenRead = 2,        /* the read thread: asynchronous, completes through an event */
    VpOpenProfileCount = 3
} VP_OPEN_PROFILE;

typedef struct _VP_OPEN_PARAMETERS {
    ACCESS_MASK DesiredAccess;
    ULONG FileAttributes;
    ULONG ShareAccess;
    ULONG CreateDisposition;
    ULONG CreateOptions;
} VP_OPEN_PARAMETERS;

extern const VP_OPEN_PARAMETERS VpOpenProfiles[VpOpenProfileCount];

/* The status request: DLE EOT 1, the printer's real-time status query, in one write. */
#define VP_STATUS_REQUEST_LENGTH 3

/* ---- Routines ----------------------------------------------------------------------------- */

/* Reads "HardwareId" and "LinkedId" into the extension. 1 when both were read, 0 otherwise;
 * when only "LinkedId" fails, HardwareId already holds the new path. */
ULONG GetUsbHardwareId(PDEVICE_EXTENSION Extension);

/* TRUE when LinkedId begins with one of the supported vendor prefixes (case-sensitive). */
BOOLEAN IsSupportedVendor(PDEVICE_EXTENSION Extension);

/* The model class (1, 2 or 3) of a LinkedId that passed IsSupportedVendor. The caller stores it. */
ULONG ClassifyModel(PDEVICE_EXTENSION Extension);

/* 1 while the device's key under the USB device-interface class key can be opened, 0 otherwise. */
ULONG IsLinkedUsb(PDEVICE_EXTENSION Extension);

/* Closes WriteHandle, if set, and empties it. Caller holds the port mutex. */
VOID CloseWriteHandle(PDEVICE_EXTENSION Extension);

/* Closes WriteHandle if set, then opens HardwareId with the write-handle profile into it. Returns
 * the status of the open; WriteHandle is NULL when the open failed. */
NTSTATUS CreateWriteHandle(PDEVICE_EXTENSION Extension);

/* Opens HardwareId with the write profile on a handle of its own, writes the status request and
 * closes the handle. Silent on any failure; WriteHandle is not touched. */
VOID SendStatusRequest(PDEVICE_EXTENSION Extension);

/* Opens the path in HardwareId with the given profile. *Handle is NULL unless the open succeeded. */
NTSTATUS OpenUsbDevice(PDEVICE_EXTENSION Extension, VP_OPEN_PROFILE Profile, PHANDLE Handle);

/* The same over a counted string the caller built (the read thread keeps one over HardwareId). */
NTSTATUS OpenUsbDevicePath(PUNICODE_STRING DevicePath, VP_OPEN_PROFILE Profile, PHANDLE Handle);
