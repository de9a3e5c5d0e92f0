/*
 * publish.cpp - giving a started port its names and taking them away at removal.
 *
 * A published port has two DOS links ("\DosDevices\<name>" and the same with ":") to the PDO's
 * name, a REG_SZ value named after the PDO in the parallel-port device map, and its COM-port
 * interface enabled. The FDO is unnamed, so the links lead to the PDO, and an open of that name
 * reaches the top of the stack, which is this driver.
 *
 * Context: the PnP manager's thread at PASSIVE_LEVEL (registry services, paged pool). No lock:
 * PnP requests reach a device one at a time, and only PublishPort writes the three name fields
 * (port/ reads PortName at open).
 */
#include "driver/vparallel.h"


/* Every local name buffer is as large as the extension's 255-character name fields. */
static constexpr ULONG kNameBytes = VP_NAME_CHARS * sizeof(WCHAR);

static const WCHAR kDosDevicesPrefix[] = L"\\DosDevices\\";
static const WCHAR kPortNameValue[] = VP_PORT_NAME_VALUE;
static const WCHAR kDeviceMapKey[] = VP_REGISTRY_MACHINE VP_DEVICE_MAP_KEY;
static const WCHAR kDeviceMapRelativeKey[] = L"\\PARALLEL PORTS"; /* the same key, under the device map */

/* Whatever the registry record holds, the port name is at most the 255 bytes of the query
 * buffer, so the longest link name (prefix, name, ":" and null) fits the fields. */
static_assert(sizeof(kDosDevicesPrefix) + VP_QUERY_BUFFER_BYTES + 2 * sizeof(WCHAR) <= kNameBytes,
              "a link name built from a full query buffer must fit DosLinkNameColon");
static_assert(VP_PORT_NAME_CHARS >= VP_NAME_CHARS, "PortName holds a whole name buffer");

/* The query buffer, aligned for the record it receives. */
union VALUE_RECORD {
    KEY_VALUE_FULL_INFORMATION Info;
    UCHAR Bytes[VP_QUERY_BUFFER_BYTES];
};

/* Opens the hardware key with Access and queries PortName into Record. A refused open is
 * returned as it is; *Denied tells a query refused for the key's access. */
static NTSTATUS QueryPortNameRecord(PDEVICE_OBJECT Pdo, ACCESS_MASK Access, VALUE_RECORD *Record, BOOLEAN *Denied)
{
    *Denied = FALSE;
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, Access, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, kPortNameValue);
    ULONG resultLength = 0;
    /* A record longer than the buffer comes back as STATUS_BUFFER_OVERFLOW, a warning that
     * NT_SUCCESS rejects along with the errors. */
    status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, Record, VP_QUERY_BUFFER_BYTES,
                             &resultLength);
    ZwClose(key);
    *Denied = status == STATUS_ACCESS_DENIED;
    return status;
}

/*
 * Reads PortName from the device's hardware key into Name (kNameBytes, zero-filled here).
 * The data is copied as raw bytes and never more than the record holds, so an odd length or a
 * missing null still leaves Name terminated. Data that is not REG_SZ, or that names nothing,
 * is refused: a number or binary blob taken as text would publish a meaningless DOS name, and an
 * empty name would make "\DosDevices\" itself a link.
 */
static NTSTATUS ReadPortName(PDEVICE_OBJECT Pdo, PWCHAR Name)
{
    VALUE_RECORD record;
    RtlZeroMemory(&record, sizeof(record));
    RtlZeroMemory(Name, kNameBytes);

    /* HOST (Wine): Windows does not check a kernel-mode handle's access, so the read-control mask
     * is enough there; Wine checks it and refuses the query, and the key is opened again with
     * query access. */
    BOOLEAN denied = FALSE;
    NTSTATUS status = QueryPortNameRecord(Pdo, STANDARD_RIGHTS_READ, &record, &denied);
    if (denied) {
        status = QueryPortNameRecord(Pdo, KEY_QUERY_VALUE, &record, &denied);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    const ULONG offset = record.Info.DataOffset;
    const ULONG length = record.Info.DataLength;
    if (offset > VP_QUERY_BUFFER_BYTES || length > VP_QUERY_BUFFER_BYTES - offset) {
        return STATUS_INVALID_PARAMETER; /* never read past the record */
    }
    if (record.Info.Type != REG_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    RtlCopyMemory(Name, record.Bytes + offset, length);
    if (Name[0] == L'\0') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

/* Builds "\DosDevices\<PortName>" with and without the trailing ":" into two kNameBytes buffers. */
static VOID BuildLinkNames(PCWSTR PortName, PWCHAR Link, PWCHAR LinkColon)
{
    const SIZE_T prefixChars = sizeof(kDosDevicesPrefix) / sizeof(WCHAR) - 1;
    const SIZE_T nameChars = wcslen(PortName); /* bounded by ReadPortName: under 128 */

    RtlZeroMemory(Link, kNameBytes);
    RtlCopyMemory(Link, kDosDevicesPrefix, prefixChars * sizeof(WCHAR));
    RtlCopyMemory(Link + prefixChars, PortName, nameChars * sizeof(WCHAR));

    RtlCopyMemory(LinkColon, Link, kNameBytes);
    LinkColon[prefixChars + nameChars] = L':';
}

static VOID DeleteLink(PCWSTR Name)
{
    if (Name[0] == L'\0') {
        return; /* never published */
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, Name);
    IoDeleteSymbolicLink(&link);
}

static VOID CreateLink(PCWSTR Name, PUNICODE_STRING Target)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, Name);
    IoCreateSymbolicLink(&link, Target); /* an existing link (restart) is left as it is */
}

/*
 * Stores the new names in the extension. If an earlier start published another name (the
 * installation renamed the port between a stop and a start), its links are withdrawn first:
 * removal deletes only the links named in the extension, so the old ones would outlive the device.
 */
static VOID StoreNames(PDEVICE_EXTENSION Extension, PCWSTR Link, PCWSTR LinkColon, PCWSTR PortName)
{
    if (Extension->DosLinkName[0] != L'\0' && wcscmp(Extension->DosLinkName, Link) != 0) {
        DeleteLink(Extension->DosLinkName);
        DeleteLink(Extension->DosLinkNameColon);
    }
    RtlCopyMemory(Extension->DosLinkName, Link, kNameBytes);
    RtlCopyMemory(Extension->DosLinkNameColon, LinkColon, kNameBytes);
    RtlZeroMemory(Extension->PortName, sizeof(Extension->PortName));
    RtlCopyMemory(Extension->PortName, PortName, kNameBytes);
}

/* The PDO's name into Name (kNameBytes, zero-filled), asked for with the 255-byte length. */
static NTSTATUS GetPdoName(PDEVICE_OBJECT Pdo, PWCHAR Name)
{
    RtlZeroMemory(Name, kNameBytes);
    ULONG resultLength = 0;
    return IoGetDeviceProperty(Pdo, DevicePropertyPhysicalDeviceObjectName, VP_QUERY_BUFFER_BYTES, Name,
                               &resultLength);
}


/*
 * Publishes a started port. Stops at the first failing step and returns its status; the start
 * succeeds whatever this returns. Once the names are stored, the housekeeping calls that follow
 * (links, device-map value, interface) are not checked: each does its part or nothing.
 */
NTSTATUS PublishPort(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    WCHAR portName[VP_NAME_CHARS];
    WCHAR linkName[VP_NAME_CHARS];
    WCHAR linkNameColon[VP_NAME_CHARS];

    NTSTATUS status = ReadPortName(extension->Pdo, portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BuildLinkNames(portName, linkName, linkNameColon);
    StoreNames(extension, linkName, linkNameColon, portName);

    WCHAR pdoName[VP_NAME_CHARS];
    status = GetPdoName(extension->Pdo, pdoName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING target;
    RtlInitUnicodeString(&target, pdoName);
    CreateLink(extension->DosLinkName, &target);
    CreateLink(extension->DosLinkNameColon, &target);

    UNICODE_STRING mapKey;
    RtlInitUnicodeString(&mapKey, kDeviceMapKey);
    UNICODE_STRING data;
    RtlInitUnicodeString(&data, portName);
    WriteDeviceMapValue(pdoName, &mapKey, portName, data.Length);

    IoSetDeviceInterfaceState(&extension->InterfaceName, TRUE);
    return status;
}

/*
 * Writes Data (DataLength bytes, as given) as the REG_SZ value ValueName under the absolute
 * key KeyPath. The path is copied into a zeroed 255-byte scratch buffer to terminate it; a
 * path that would not leave room for the null is not written. Failures are silent: the
 * device-map entry is informational, and the port works without it.
 */
VOID WriteDeviceMapValue(PCWSTR ValueName, PUNICODE_STRING KeyPath, PCWSTR Data, ULONG DataLength)
{
    if (KeyPath->Length > VP_QUERY_BUFFER_BYTES - sizeof(WCHAR)) {
        return;
    }
    PWCHAR path = (PWCHAR)ExAllocatePoolWithTag(PagedPool, VP_QUERY_BUFFER_BYTES, VP_TAG_SCRATCH);
    if (path == NULL) {
        return;
    }
    RtlZeroMemory(path, VP_QUERY_BUFFER_BYTES);
    RtlCopyMemory(path, KeyPath->Buffer, KeyPath->Length);

    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, ValueName, REG_SZ,
                          (PVOID)Data, DataLength);
    ExFreePoolWithTag(path, VP_TAG_SCRATCH);
}

/*
 * Withdraws everything PublishPort made, and frees the interface name that AddDevice's
 * registration allocated. Runs first at removal, while the extension is still valid. Every
 * step runs whatever the others did; without the PDO's name the device-map value cannot be
 * named and stays.
 */
VOID UnpublishPort(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (extension->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
        RtlFreeUnicodeString(&extension->InterfaceName);
    }
    DeleteLink(extension->DosLinkName);
    DeleteLink(extension->DosLinkNameColon);

    WCHAR pdoName[VP_NAME_CHARS];
    if (NT_SUCCESS(GetPdoName(extension->Pdo, pdoName))) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kDeviceMapRelativeKey, pdoName);
    }
}
