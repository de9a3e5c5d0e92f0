/*
 * link_config.cpp - reading the port's link values, accepting the vendor, classifying the model
 * and testing that the USB device is present.
 *
 * PASSIVE_LEVEL, in the thread of the dispatch routine that calls (create, read, write, serial
 * control). No lock: the link values are written only here, by the create path, before the port
 * counts as open.
 */
#include "link/link.h"


/* Where the installer stores a port's link values; the port name follows after a "\". */
static const WCHAR LinkKeyRoot[] = VP_REGISTRY_MACHINE VP_LINK_KEY L"\\";

/* LinkedId names the device's entry under the USB device-interface class key, which exists
 * while the device is installed. */
static const WCHAR PresenceKeyRoot[] = VP_REGISTRY_MACHINE VP_USB_DEVICE_CLASS_KEY L"\\";

static constexpr ULONG PresenceKeyRootChars = sizeof(PresenceKeyRoot) / sizeof(WCHAR) - 1;
static_assert(PresenceKeyRootChars == 104, "presence key prefix");

static constexpr ULONG LinkKeyPathChars = 255;
static constexpr ULONG PresenceKeyPathChars = 512;

/* The fixed part of a KEY_VALUE_FULL_INFORMATION answer, before the value's name. */
static constexpr ULONG FullInformationHeaderBytes = 5 * sizeof(ULONG);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == FullInformationHeaderBytes,
              "KEY_VALUE_FULL_INFORMATION header");

/* Characters before the first zero, looking at no more than Capacity characters. */
static ULONG BoundedLength(const WCHAR *Text, ULONG Capacity)
{
    ULONG length = 0;
    while (length < Capacity && Text[length] != L'\0') {
        length++;
    }
    return length;
}

/* Builds Prefix followed by Tail (up to its zero, within TailCapacity) into Buffer of Capacity
 * characters, zero-terminated. FALSE when Tail is empty or unterminated, or the path would not
 * fit: without its last component the path names the parent key, and a shortened one names a
 * different key. */
static BOOLEAN BuildKeyPath(PWCHAR Buffer, ULONG Capacity, const WCHAR *Prefix, ULONG PrefixChars,
                     const WCHAR *Tail, ULONG TailCapacity, PUNICODE_STRING Path)
{
    ULONG tailChars = BoundedLength(Tail, TailCapacity);
    if (tailChars == 0 || tailChars == TailCapacity || PrefixChars + tailChars >= Capacity) {
        return FALSE;
    }
    RtlCopyMemory(Buffer, Prefix, PrefixChars * sizeof(WCHAR));
    RtlCopyMemory(Buffer + PrefixChars, Tail, tailChars * sizeof(WCHAR));
    Buffer[PrefixChars + tailChars] = L'\0';
    Path->Buffer = Buffer;
    Path->Length = (USHORT)((PrefixChars + tailChars) * sizeof(WCHAR));
    Path->MaximumLength = (USHORT)(Capacity * sizeof(WCHAR));
    return TRUE;
}

/* The callers run in the application's context (open, read, write, control requests): a kernel
 * handle keeps the key out of that process's handle table, where the application could use or
 * close it while the driver holds it. */
static NTSTATUS OpenKeyForReading(PUNICODE_STRING Path, PHANDLE Key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    *Key = NULL;
    NTSTATUS status = ZwOpenKey(Key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        *Key = NULL;
    }
    return status;
}

/*
 * Reads one value of the link key as text into Field (VP_NAME_CHARS characters).
 *
 * The whole KEY_VALUE_FULL_INFORMATION answer - header, name and data - must fit in
 * VP_QUERY_BUFFER_BYTES; a longer value fails the query (STATUS_BUFFER_OVERFLOW) and leaves the
 * field alone. The value's type is not examined. The data is copied as raw bytes into a zeroed
 * buffer, as the port name is: an odd last byte becomes a character of its own. The field is
 * cleared first and always ends with a zero character, whether or not the data carried one.
 */
static NTSTATUS ReadLinkValue(HANDLE Key, const WCHAR *ValueName, PWCHAR Field)
{
    /* ULONG elements keep the answer's header aligned. */
    ULONG answer[(VP_QUERY_BUFFER_BYTES + sizeof(ULONG) - 1) / sizeof(ULONG)];
    WCHAR scratch[VP_NAME_CHARS];
    static_assert(VP_QUERY_BUFFER_BYTES < sizeof(scratch) - sizeof(WCHAR), "the data always leaves a zero character");
    UNICODE_STRING name;
    ULONG resultLength = 0;

    RtlInitUnicodeString(&name, ValueName);
    RtlZeroMemory(answer, sizeof(answer));
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, answer,
                                      VP_QUERY_BUFFER_BYTES, &resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    /* A well-formed answer never points outside what was returned; refuse one that does. */
    const KEY_VALUE_FULL_INFORMATION *info = (const KEY_VALUE_FULL_INFORMATION *)answer;
    ULONG answerBytes = resultLength < VP_QUERY_BUFFER_BYTES ? resultLength : VP_QUERY_BUFFER_BYTES;
    if (info->DataOffset > answerBytes || info->DataLength > answerBytes - info->DataOffset) {
        return STATUS_UNSUCCESSFUL;
    }

    RtlZeroMemory(scratch, sizeof(scratch));
    RtlZeroMemory(Field, VP_NAME_CHARS * sizeof(WCHAR));
    RtlCopyMemory(scratch, (const UCHAR *)answer + info->DataOffset, info->DataLength);

    /* The data is shorter than the scratch buffer, so the last character stays zero. */
    ULONG textChars = BoundedLength(scratch, VP_NAME_CHARS - 1);
    RtlCopyMemory(Field, scratch, textChars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

/* The first VP_DEVICE_ID_CHARS characters of LinkedId, padded with zero characters and not
 * terminated: every comparison over it is bounded by its length. */
static VOID CopyLinkedIdHead(PDEVICE_EXTENSION Extension, WCHAR (&Head)[VP_DEVICE_ID_CHARS])
{
    ULONG chars = BoundedLength(Extension->LinkedId, VP_DEVICE_ID_CHARS);
    RtlZeroMemory(Head, sizeof(Head));
    RtlCopyMemory(Head, Extension->LinkedId, chars * sizeof(WCHAR));
}

ULONG GetUsbHardwareId(PDEVICE_EXTENSION Extension)
{
    WCHAR pathBuffer[LinkKeyPathChars];
    UNICODE_STRING path;
    HANDLE key;

    if (!BuildKeyPath(pathBuffer, LinkKeyPathChars, LinkKeyRoot,
                      sizeof(LinkKeyRoot) / sizeof(WCHAR) - 1, Extension->PortName,
                      VP_PORT_NAME_CHARS, &path)) {
        return 0;
    }
    if (!NT_SUCCESS(OpenKeyForReading(&path, &key))) {
        return 0;
    }

    /* HardwareId is replaced even when LinkedId then fails; the caller fails the open anyway. */
    ULONG result = 0;
    if (NT_SUCCESS(ReadLinkValue(key, VP_HARDWARE_ID_VALUE, Extension->HardwareId)) &&
        NT_SUCCESS(ReadLinkValue(key, VP_LINKED_ID_VALUE, Extension->LinkedId))) {
        result = 1;
    }
    ZwClose(key);
    return result;
}

BOOLEAN IsSupportedVendor(PDEVICE_EXTENSION Extension)
{
    WCHAR head[VP_DEVICE_ID_CHARS];
    CopyLinkedIdHead(Extension, head);
    return VpIsAcceptedVendor(head) ? TRUE : FALSE;
}

ULONG ClassifyModel(PDEVICE_EXTENSION Extension)
{
    WCHAR head[VP_DEVICE_ID_CHARS];
    CopyLinkedIdHead(Extension, head);
    return VpModelClassOf(head);
}

ULONG IsLinkedUsb(PDEVICE_EXTENSION Extension)
{
    WCHAR pathBuffer[PresenceKeyPathChars];
    UNICODE_STRING path;
    HANDLE key;

    if (!BuildKeyPath(pathBuffer, PresenceKeyPathChars, PresenceKeyRoot, PresenceKeyRootChars,
                      Extension->LinkedId, VP_NAME_CHARS, &path)) {
        return 0;
    }
    if (!NT_SUCCESS(OpenKeyForReading(&path, &key))) {
        return 0;
    }
    ZwClose(key);
    return 1;
}
