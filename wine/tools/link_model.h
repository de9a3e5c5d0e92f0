/*
 * link_model.h - what the port driver accepts in a link, seen from user mode.
 *
 * The driver reads the link values through a 255-byte answer buffer and accepts the device by
 * the first characters of LinkedId, compared case-sensitively. The installer tools apply the
 * same rules before writing a link, so that a link the driver would refuse is reported when it
 * is written and not at the first open of the port.
 */
#pragma once

#include <windows.h>

#define VP_LINK_ROOT L"SOFTWARE\\RM8\\NARVELIN"
#define VP_USB_INTERFACE_CLASS_KEY \
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
#define VP_HARDWARE_ID_VALUE L"HardwareId"
#define VP_LINKED_ID_VALUE   L"LinkedId"

/* TRUE when LinkedId begins with a vendor prefix the driver accepts. */
bool IsAcceptedVendor(const wchar_t *linkedId);

/* Model class 1, 2 or 3 of an accepted LinkedId (class 3 is sent the status request at close). */
unsigned ModelClassOf(const wchar_t *linkedId);

/* The longest text (in characters, without the terminator) the driver can read for a value of
 * this name: its 255-byte answer holds a 20-byte header, the name and the data with its zero. */
size_t MaxLinkValueChars(const wchar_t *valueName);
