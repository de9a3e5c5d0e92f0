// io_errorlog.cpp - the I/O manager's error log: packets drivers allocate, fill in and write, and
// the message tables their images carry.
//
// Windows hands a written packet to the event log service, which shows the message of the
// driver's message table whose number is the packet's ErrorCode, with %1 replaced by the device's
// name and %2 onwards by the packet's insertion strings. Here the written packets are kept, in
// order, with that text rendered when the test has given the driver's message table.
//
// The verifier checks each packet where Windows would misbehave on it: a size above
// ERROR_LOG_MAXIMUM_SIZE, dump data that is not whole ULONGs, insertion strings that run past the
// packet, a message number the driver's table does not have, or fewer strings than the message
// inserts. A packet is written or freed exactly once; one never given back is a leak.
//
// Runs at any IRQL up to DISPATCH_LEVEL. The table lock is a leaf.
#include "io_internal.h"

#include <cstdlib>
#include <map>
#include <stdexcept>

namespace ksim::detail::io {
namespace {

// Fresh packets are filled with this, so a driver that leaves a field unset is seen to.
constexpr unsigned char kFreshPacketPattern = 0xA5;

struct MessageTable {
    std::map<ULONG, u16> texts;
};

struct OutstandingPacket {
    void *io_object;  // referenced while the packet is outstanding
    size_t size;
};

struct ErrorLogState {
    std::mutex lock;
    std::map<void *, OutstandingPacket> outstanding;  // by packet address
    std::vector<ErrorLogEntry> written;
    std::map<const void *, MessageTable> tables;  // by driver object
};

ErrorLogState &L()
{
    static ErrorLogState state;
    return state;
}

std::string Hex(const void *p)
{
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

std::string HexStatus(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

template <typename T>
T ReadAt(const std::vector<uint8_t> &bytes, size_t offset)
{
    T value;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The resource's layout: a ULONG count of blocks; that many blocks of three ULONGs (lowest id,
// highest id, offset of the block's first entry); each entry a USHORT length (of the whole entry,
// text and padding included), a USHORT flags (1: UTF-16 text, 0: 8-bit text) and the text, which
// ends at its first null or at the entry's end.
MessageTable ParseTable(const std::vector<uint8_t> &resource)
{
    auto fail = [](const std::string &what) { throw std::invalid_argument("message table: " + what); };
    if (resource.size() < 4) fail("shorter than its block count");
    ULONG blocks = ReadAt<ULONG>(resource, 0);
    if (blocks == 0 || resource.size() < 4 + size_t(blocks) * 12) fail("blocks past the end");
    MessageTable table;
    for (ULONG b = 0; b < blocks; b++) {
        ULONG low = ReadAt<ULONG>(resource, 4 + b * 12);
        ULONG high = ReadAt<ULONG>(resource, 8 + b * 12);
        size_t offset = ReadAt<ULONG>(resource, 12 + b * 12);
        if (low > high) fail("block with its lowest id above its highest");
        for (uint64_t id = low; id <= high; id++) {
            if (offset + 4 > resource.size()) fail("entry past the end");
            USHORT length = ReadAt<USHORT>(resource, offset);
            USHORT flags = ReadAt<USHORT>(resource, offset + 2);
            if (length < 4 || offset + length > resource.size()) fail("entry of a bad length");
            u16 text;
            if (flags & 1) {
                for (size_t i = offset + 4; i + 1 < offset + length; i += 2) {
                    char16_t c = ReadAt<char16_t>(resource, i);
                    if (c == 0) break;
                    text += c;
                }
            } else {
                for (size_t i = offset + 4; i < offset + length && resource[i] != 0; i++) text += resource[i];
            }
            if (!table.texts.emplace(ULONG(id), text).second) fail("message " + HexStatus(NTSTATUS(id)) + " twice");
            offset += length;
        }
    }
    return table;
}

// The highest %n a message inserts (0 when none); "%%" is a literal percent sign.
unsigned HighestInsertion(const u16 &text)
{
    unsigned highest = 0;
    for (size_t i = 0; i + 1 < text.size(); i++) {
        if (text[i] != u'%') continue;
        if (text[i + 1] == u'%') {
            i++;
            continue;
        }
        unsigned n = 0;
        size_t j = i + 1;
        while (j < text.size() && text[j] >= u'0' && text[j] <= u'9') n = n * 10 + (text[j++] - u'0');
        highest = std::max(highest, n);
    }
    return highest;
}

// The message as the event log shows it: %1 the device's name (left as "%1" when the device has
// none), %2 onwards the insertion strings, "%%" a percent sign, without the final line break.
u16 Render(const u16 &message, const u16 &device_name, const std::vector<u16> &strings)
{
    u16 out;
    for (size_t i = 0; i < message.size(); i++) {
        if (message[i] != u'%' || i + 1 == message.size()) {
            out += message[i];
            continue;
        }
        if (message[i + 1] == u'%') {
            out += u'%';
            i++;
            continue;
        }
        unsigned n = 0;
        size_t j = i + 1;
        while (j < message.size() && message[j] >= u'0' && message[j] <= u'9') n = n * 10 + (message[j++] - u'0');
        if (j == i + 1) {
            out += message[i];
            continue;
        }
        if (n == 1 && !device_name.empty()) out += device_name;
        else if (n >= 2 && n - 2 < strings.size()) out += strings[n - 2];
        else out += message.substr(i, j - i);
        i = j - 1;
    }
    while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r')) out.pop_back();
    return out;
}

PDRIVER_OBJECT DriverOf(void *io_object)
{
    ObType type;
    if (!ObIsObject(io_object, &type)) return nullptr;
    if (type == ObType::Driver) return static_cast<PDRIVER_OBJECT>(io_object);
    return static_cast<PDEVICE_OBJECT>(io_object)->DriverObject;
}

u16 SourceOf(PDRIVER_OBJECT driver)
{
    if (driver == nullptr) return u16();
    u16 name = FromCounted(&driver->DriverName);
    const u16 prefix = u"\\Driver\\";
    if (name.size() > prefix.size() && EqualsInsensitive(name.substr(0, prefix.size()), prefix)) {
        name = name.substr(prefix.size());
    }
    return name;
}

// Checks the packet's layout and reads its insertion strings. False (with the violation recorded)
// when the event log could not take it.
bool ReadPacket(const uint8_t *packet, size_t size, ErrorLogEntry *entry)
{
    IO_ERROR_LOG_PACKET header;
    memcpy(&header, packet, sizeof header);
    const size_t dump_start = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
    auto bad = [&](const std::string &rule, const std::string &detail) {
        RecordViolation(rule, "error log packet " + Hex(packet) + ": " + detail);
        return false;
    };
    if (header.DumpDataSize % sizeof(ULONG) != 0) {
        return bad("errorlog-dump-size", "DumpDataSize " + std::to_string(header.DumpDataSize) + " is not whole ULONGs");
    }
    if (dump_start + header.DumpDataSize > size) {
        return bad("errorlog-dump-size", "dump data runs past the " + std::to_string(size) + "-byte packet");
    }
    entry->dump_data.assign(packet + dump_start, packet + dump_start + header.DumpDataSize);
    if (header.NumberOfStrings == 0) return true;
    if (header.StringOffset < dump_start + header.DumpDataSize || header.StringOffset % sizeof(WCHAR) != 0) {
        return bad("errorlog-string-offset", "StringOffset " + std::to_string(header.StringOffset) +
                                                 " overlaps the header or dump data, or is odd");
    }
    size_t at = header.StringOffset;
    for (USHORT s = 0; s < header.NumberOfStrings; s++) {
        u16 text;
        for (;;) {
            if (at + sizeof(WCHAR) > size) {
                return bad("errorlog-string-unterminated",
                           "insertion string " + std::to_string(s + 1) + " runs past the packet's end");
            }
            char16_t c;
            memcpy(&c, packet + at, sizeof c);
            at += sizeof(WCHAR);
            if (c == 0) break;
            text += c;
        }
        entry->strings.push_back(text);
    }
    return true;
}

// Checks the message number against the driver's table and renders the text. Table lock held.
void CheckMessageLocked(ErrorLogState &s, PDRIVER_OBJECT driver, void *io_object, ErrorLogEntry *entry)
{
    auto table = s.tables.find(driver);
    if (table == s.tables.end()) return;
    auto message = table->second.texts.find(ULONG(entry->error_code));
    if (message == table->second.texts.end()) {
        RecordViolation("errorlog-unknown-message", Narrow(entry->source) + " logged " + HexStatus(entry->error_code) +
                                                        ", which its message table does not have");
        return;
    }
    unsigned highest = HighestInsertion(message->second);
    if (highest >= 2 && highest - 1 > entry->strings.size()) {
        RecordViolation("errorlog-missing-insertion",
                        Narrow(entry->source) + " logged " + HexStatus(entry->error_code) + " with " +
                            std::to_string(entry->strings.size()) + " insertion string(s); its message uses %" +
                            std::to_string(highest));
    }
    ObType type;
    u16 device_name;
    if (ObIsObject(io_object, &type) && type == ObType::Device) device_name = ObNameOf(io_object);
    entry->text = Render(message->second, device_name, entry->strings);
}

// Takes the packet out of the outstanding ones. False when it is not one (never allocated, or
// already written or freed).
bool TakeOutstanding(void *packet, const char *what, OutstandingPacket *out)
{
    ErrorLogState &s = L();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.outstanding.find(packet);
    if (it == s.outstanding.end()) {
        RecordViolation("errorlog-unknown-entry", std::string(what) + " of " + Hex(packet) +
                                                      ", which is no outstanding error log packet");
        return false;
    }
    *out = it->second;
    s.outstanding.erase(it);
    return true;
}

void ReleasePacket(void *packet, const OutstandingPacket &outstanding)
{
    free(packet);
    ObRelease(outstanding.io_object);
}

}  // namespace

void ErrorLogReset()
{
    ErrorLogState &s = L();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto &[packet, outstanding] : s.outstanding) free(packet);
    s.outstanding.clear();
    s.written.clear();
    s.tables.clear();
}

void ErrorLogCheckLeaks(std::vector<Violation> *out)
{
    ErrorLogState &s = L();
    std::lock_guard<std::mutex> guard(s.lock);
    for (const auto &[packet, outstanding] : s.outstanding) {
        out->push_back({"leak-errorlog-entry", "error log packet " + Hex(packet) + " (" +
                                                   std::to_string(outstanding.size) + " bytes) never written or freed"});
    }
}

}  // namespace ksim::detail::io

namespace ksim {

std::vector<ErrorLogEntry> ErrorLog()
{
    auto &s = detail::io::L();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.written;
}

void ClearErrorLog()
{
    auto &s = detail::io::L();
    std::lock_guard<std::mutex> guard(s.lock);
    s.written.clear();
}

void SetMessageTable(PDRIVER_OBJECT driver, const std::vector<uint8_t> &resource)
{
    detail::io::MessageTable table = detail::io::ParseTable(resource);
    auto &s = detail::io::L();
    std::lock_guard<std::mutex> guard(s.lock);
    s.tables[driver] = std::move(table);
}

std::optional<u16> MessageText(const std::vector<uint8_t> &resource, ULONG id)
{
    detail::io::MessageTable table = detail::io::ParseTable(resource);
    auto it = table.texts.find(id);
    if (it == table.texts.end()) return std::nullopt;
    return it->second;
}

std::vector<ULONG> MessageIds(const std::vector<uint8_t> &resource)
{
    std::vector<ULONG> ids;
    for (const auto &[id, text] : detail::io::ParseTable(resource).texts) ids.push_back(id);
    return ids;
}

}  // namespace ksim

using namespace ksim;
using namespace ksim::detail;
using namespace ksim::detail::io;

extern "C" {

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    ObType type;
    if (IoObject == nullptr || !ObIsObject(IoObject, &type) || (type != ObType::Device && type != ObType::Driver)) {
        RecordViolation("errorlog-bad-object", "IoAllocateErrorLogEntry for " + Hex(IoObject) +
                                                   ", which is neither a device nor a driver object");
        return nullptr;
    }
    if (EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
        RecordViolation("errorlog-entry-too-large", "IoAllocateErrorLogEntry of " + std::to_string(EntrySize) +
                                                        " bytes; at most " + std::to_string(ERROR_LOG_MAXIMUM_SIZE));
        return nullptr;
    }
    if (EntrySize < sizeof(IO_ERROR_LOG_PACKET)) {
        RecordViolation("errorlog-entry-too-small", "IoAllocateErrorLogEntry of " + std::to_string(EntrySize) +
                                                        " bytes, less than the packet's header");
        return nullptr;
    }
    NTSTATUS status;
    if (FaultFires(Fault::ErrorLogAllocation, &status)) return nullptr;
    void *packet = malloc(EntrySize);
    memset(packet, kFreshPacketPattern, EntrySize);
    ObAddRef(IoObject);  // the packet keeps its device (or driver) until it is written or freed
    ErrorLogState &s = L();
    std::lock_guard<std::mutex> guard(s.lock);
    s.outstanding[packet] = OutstandingPacket{IoObject, EntrySize};
    return packet;
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
    OutstandingPacket outstanding;
    if (!TakeOutstanding(ElEntry, "IoWriteErrorLogEntry", &outstanding)) return;
    const auto *packet = static_cast<const uint8_t *>(ElEntry);
    const auto *header = static_cast<const IO_ERROR_LOG_PACKET *>(ElEntry);
    ErrorLogEntry entry;
    entry.io_object = outstanding.io_object;
    PDRIVER_OBJECT driver = DriverOf(outstanding.io_object);
    entry.source = SourceOf(driver);
    entry.error_code = header->ErrorCode;
    entry.final_status = header->FinalStatus;
    entry.unique_value = header->UniqueErrorValue;
    entry.major = header->MajorFunctionCode;
    entry.time = KeNow();
    bool readable = ReadPacket(packet, outstanding.size, &entry);
    if (readable) {
        ErrorLogState &s = L();
        std::lock_guard<std::mutex> guard(s.lock);
        CheckMessageLocked(s, driver, outstanding.io_object, &entry);
        s.written.push_back(std::move(entry));
    }
    ReleasePacket(ElEntry, outstanding);
}

VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeErrorLogEntry");
    OutstandingPacket outstanding;
    if (TakeOutstanding(ElEntry, "IoFreeErrorLogEntry", &outstanding)) ReleasePacket(ElEntry, outstanding);
}

}  // extern "C"
