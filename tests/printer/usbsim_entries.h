/*
 * usbsim_entries.h - the printer's records as IOCTL_VPSIM_GET_ENTRIES hands them out, taken
 * apart in one place for every client that reads them: the Linux tests' printer client (and so
 * the stand-in's scenario runner) and the Win32 scenario client under Wine.
 *
 * The includer provides the types usbsim_control.h needs (ntddk.h, or windows.h/winioctl.h).
 */
#pragma once

#include "tests/printer/usbsim_control.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace usbsim {

// One thing the printer saw, in the order it saw them (the kinds of usbsim_control.h).
struct Record {
    VPSIM_ENTRY entry;
    std::vector<uint8_t> data;  // a write's bytes, or what a read was answered with
};

// Appends the records of the first `filled` bytes of a IOCTL_VPSIM_GET_ENTRIES answer to *out.
// False, with nothing appended, when the bytes do not hold whole records.
inline bool DecodeEntries(const uint8_t *answer, size_t filled, std::vector<Record> *out)
{
    std::vector<Record> records;
    for (size_t at = 0; at < filled;) {
        Record record;
        if (filled - at < sizeof(VPSIM_ENTRY)) return false;
        std::memcpy(&record.entry, answer + at, sizeof(VPSIM_ENTRY));
        at += sizeof(VPSIM_ENTRY);
        if (filled - at < record.entry.DataLength) return false;
        record.data.assign(answer + at, answer + at + record.entry.DataLength);
        at += record.entry.DataLength;
        records.push_back(std::move(record));
    }
    out->insert(out->end(), records.begin(), records.end());
    return true;
}

}  // namespace usbsim
