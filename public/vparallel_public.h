/*
 * vparallel_public.h - what the driver, its package tool, the Win32 test client and the Linux
 * tests must agree on: the private control codes, where a port's link to its printer is stored,
 * and which printers the driver accepts.
 *
 * It includes nothing. The includer provides CTL_CODE and its constants (the DDK headers in the
 * driver, windows.h with winioctl.h in the tools, the stand-in's headers on Linux), a 16-bit
 * wchar_t (Windows, or -fshort-wchar on Linux) and wcsncmp.
 */
#pragma once

/* ---- Private control codes ---------------------------------------------------------------- */
/* Completes only when the device is surprise-removed: lets an application learn of it. */
#define IOCTL_VPARALLEL_NOTIFY_REMOVAL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Succeeds at once; applications use it to probe that the port answers. */
#define IOCTL_VPARALLEL_NOP CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* ---- Registry ----------------------------------------------------------------------------- */
/* The kernel's name of HKEY_LOCAL_MACHINE; the key paths below are relative to it. */
#define VP_REGISTRY_MACHINE L"\\REGISTRY\\MACHINE\\"
/* The parallel-port device map: a started port writes a REG_SZ value named after its PDO that
 * holds the port name. */
#define VP_DEVICE_MAP_KEY L"HARDWARE\\DEVICEMAP\\PARALLEL PORTS"
/* The port name, in the device's hardware key ("Device Parameters"). */
#define VP_PORT_NAME_VALUE L"PortName"
/* A port's link: the key VP_LINK_KEY "\" <port name> holds the two values below. */
#define VP_LINK_KEY L"SOFTWARE\\RM8\\NARVELIN"
#define VP_HARDWARE_ID_VALUE L"HardwareId" /* object-namespace path the printer is opened by */
#define VP_LINKED_ID_VALUE L"LinkedId"     /* the printer's subkey of VP_USB_DEVICE_CLASS_KEY */
/* The USB device-interface class key (GUID_DEVINTERFACE_USB_DEVICE). The printer counts as
 * present while its subkey named by LinkedId exists. */
#define VP_USB_DEVICE_CLASS_KEY \
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}"

/* The driver reads every value through an answer of this many bytes: the KEY_VALUE_FULL_INFORMATION
 * header, the value's name, then the data. A longer answer is refused whole. */
#define VP_QUERY_BUFFER_BYTES 255
#define VP_VALUE_ANSWER_HEADER_BYTES 20

/* The longest text, in characters without its terminator, that a value whose name has NameChars
 * characters may hold for the driver to read it. */
constexpr unsigned VpMaxValueTextChars(unsigned NameChars)
{
    return (VP_QUERY_BUFFER_BYTES - VP_VALUE_ANSWER_HEADER_BYTES - NameChars * 2) / 2 - 1;
}

/* ---- Last refusal ------------------------------------------------------------------------- */
/* Why a port last refused an open or failed a request. The driver keeps the latest one of each
 * port as the REG_BINARY value VP_LAST_REFUSAL_VALUE (a VP_LAST_REFUSAL) in the port's hardware
 * key, beside PortName; vplink shows it and deletes it. The numbers are stored: keep each one. */
#define VP_LAST_REFUSAL_VALUE L"LastRefusal"

enum VP_REFUSAL_CAUSE {
    VpRefusalNone = 0,
    VpRefusalNoLink = 1,            /* open: the port's link values cannot be read */
    VpRefusalUnknownVendor = 2,     /* open: the linked printer's vendor is not accepted */
    VpRefusalPrinterAbsent = 3,     /* open: the linked printer is not connected */
    VpRefusalOpenFailed = 4,        /* open, read or write: the printer's device would not open */
    VpRefusalWriteFailed = 5,       /* write: the printer's device failed a write */
    VpRefusalPrinterUnplugged = 6,  /* read or write: the printer went while the port was open */
    VpRefusalNotPublished = 7,      /* start: the port's name could not be published */
    VpRefusalRemovedWhileOpen = 8,  /* surprise removal of an open port */
    VpRefusalCauseCount = 9
};

/* The value's data, 16 bytes in this order whatever the compiler. */
struct VP_LAST_REFUSAL {
    unsigned int Cause; /* a VP_REFUSAL_CAUSE */
    int Status;         /* the NTSTATUS the refusal carried */
    long long Time;     /* system time (UTC, 100 ns units since 1601) of the refusal */
};
static_assert(sizeof(VP_LAST_REFUSAL) == 16, "the stored record has a fixed size");

/* The cause in a few words, as "vplink ports" shows it; NULL for a number it does not know. */
inline const wchar_t *VpRefusalCauseText(unsigned Cause)
{
    static const wchar_t *const texts[VpRefusalCauseCount] = {
        nullptr,
        L"no link",
        L"printer of an unknown vendor",
        L"printer absent",
        L"printer would not open",
        L"write failed",
        L"printer unplugged while open",
        L"port name not published",
        L"removed while open",
    };
    return Cause < VpRefusalCauseCount ? texts[Cause] : nullptr;
}

/* ---- Accepted printers -------------------------------------------------------------------- */
/* LinkedId is compared case-sensitively: its first VP_VENDOR_PREFIX_CHARS characters with the
 * vendor prefixes, its first VP_DEVICE_ID_CHARS with the model table (first match wins). */
#define VP_VENDOR_PREFIX_CHARS 16
#define VP_DEVICE_ID_CHARS 25

#define VP_MODEL_CLASS_DEFAULT 1 /* any accepted device not in the model table */
#define VP_MODEL_CLASS_2       2 /* listed models treated like the default everywhere */
#define VP_MODEL_CLASS_3       3 /* models that are sent the status request when the port closes */

inline constexpr const wchar_t *VpVendorPrefixes[] = {
    L"##?#USB#Vid_1504",
    L"##?#USB#Vid_0419",
    L"##?#USB#Vid_055d",
};

struct VP_MODEL_ENTRY {
    const wchar_t *DeviceId; /* exactly VP_DEVICE_ID_CHARS characters */
    unsigned ModelClass;
};

inline constexpr VP_MODEL_ENTRY VpModelTable[] = {
    {L"##?#USB#Vid_1504&Pid_0006", VP_MODEL_CLASS_2},
    {L"##?#USB#Vid_1504&Pid_000b", VP_MODEL_CLASS_2},
    {L"##?#USB#Vid_1504&Pid_0002", VP_MODEL_CLASS_3},
    {L"##?#USB#Vid_055d&Pid_4010", VP_MODEL_CLASS_3},
};

/* Head is a LinkedId, or its first VP_DEVICE_ID_CHARS characters padded with zero characters:
 * neither routine reads past a zero character or past that many characters. */
inline bool VpIsAcceptedVendor(const wchar_t *Head)
{
    for (const wchar_t *prefix : VpVendorPrefixes) {
        if (wcsncmp(Head, prefix, VP_VENDOR_PREFIX_CHARS) == 0) {
            return true;
        }
    }
    return false;
}

inline unsigned VpModelClassOf(const wchar_t *Head)
{
    for (const VP_MODEL_ENTRY &entry : VpModelTable) {
        if (wcsncmp(Head, entry.DeviceId, VP_DEVICE_ID_CHARS) == 0) {
            return entry.ModelClass;
        }
    }
    return VP_MODEL_CLASS_DEFAULT;
}
