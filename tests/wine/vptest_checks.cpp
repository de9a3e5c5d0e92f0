/*
 * vptest_checks.cpp - the port used as communication software uses it, checked against what the
 * simulated USB printer saw.
 *
 * Every wait is bounded, so a request the driver strands fails its check instead of hanging the
 * run. The host's I/O manager may deliver a close after CloseHandle has returned, so effects of a
 * close are waited for, never assumed.
 */
#include "tests/wine/vptest.h"

#include <winioctl.h>
#include <winternl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <functional>
#include <string>
#include <vector>

#include "package/device_map.h"
#include "public/vparallel_public.h"
#include "tests/printer/usbsim_control.h"

extern "C" NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE, PUNICODE_STRING, PULONG);

namespace {

const DWORD kWaitMs = 5000;

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char *name, const std::string &detail = std::string())
{
    if (ok) {
        g_passed++;
        printf("ok   %s\n", name);
    } else {
        g_failed++;
        printf("FAIL %s%s%s\n", name, detail.empty() ? "" : ": ", detail.c_str());
    }
}

std::string Format(const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

/* ---- Overlapped requests ------------------------------------------------------------------------- */

struct Request {
    OVERLAPPED overlapped = {};
    Request() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Request() { CloseHandle(overlapped.hEvent); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
};

enum class Outcome { Done, Failed, Pending };

/* The outcome of a request started with `started`, after waiting up to waitMs for it. The
 * OVERLAPPED event is waited on before the result is asked for: the host reports a pending serial
 * request's status wrongly until it completes. */
Outcome Finish(HANDLE handle, Request &request, BOOL started, DWORD waitMs, DWORD *bytes, DWORD *error)
{
    *bytes = 0;
    *error = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        *error = GetLastError();
        return Outcome::Failed;
    }
    if (WaitForSingleObject(request.overlapped.hEvent, waitMs) != WAIT_OBJECT_0) {
        return Outcome::Pending;
    }
    if (!GetOverlappedResult(handle, &request.overlapped, bytes, FALSE)) {
        *error = GetLastError();
        return Outcome::Failed;
    }
    return Outcome::Done;
}

/* A request that must not stay pending is cancelled and waited for before its buffers go. */
void Abandon(HANDLE handle, Request &request)
{
    DWORD bytes;
    CancelIoEx(handle, &request.overlapped);
    WaitForSingleObject(request.overlapped.hEvent, kWaitMs);
    GetOverlappedResult(handle, &request.overlapped, &bytes, FALSE);
}

bool Control(HANDLE handle, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength,
             DWORD *returned = nullptr)
{
    Request request;
    DWORD bytes;
    DWORD error;
    BOOL started = DeviceIoControl(handle, code, const_cast<void *>(in), inLength, out, outLength, nullptr,
                                   &request.overlapped);
    Outcome outcome = Finish(handle, request, started, kWaitMs, &bytes, &error);
    if (outcome == Outcome::Pending) {
        Abandon(handle, request);
    }
    if (returned != nullptr) {
        *returned = bytes;
    }
    return outcome == Outcome::Done;
}

bool Nop(HANDLE port)
{
    return Control(port, IOCTL_VPARALLEL_NOP, nullptr, 0, nullptr, 0);
}

bool WriteBytes(HANDLE port, const std::vector<BYTE> &data, DWORD *written)
{
    Request request;
    DWORD error;
    BOOL started = WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, &request.overlapped);
    Outcome outcome = Finish(port, request, started, kWaitMs, written, &error);
    if (outcome == Outcome::Pending) {
        Abandon(port, request);
    }
    return outcome == Outcome::Done;
}

/* Reads up to `length` bytes; Pending when the read is still outstanding after waitMs (it is
 * then cancelled). */
Outcome ReadBytes(HANDLE port, DWORD length, DWORD waitMs, std::string *data)
{
    Request request;
    std::vector<char> buffer(length);
    DWORD bytes;
    DWORD error;
    BOOL started = ReadFile(port, buffer.data(), length, nullptr, &request.overlapped);
    Outcome outcome = Finish(port, request, started, waitMs, &bytes, &error);
    if (outcome == Outcome::Pending) {
        Abandon(port, request);
    }
    data->assign(buffer.data(), bytes);
    return outcome;
}

bool WaitUntil(const std::function<bool()> &condition, DWORD ms = kWaitMs)
{
    for (DWORD waited = 0;; waited += 10) {
        if (condition()) {
            return true;
        }
        if (waited >= ms) {
            return false;
        }
        Sleep(10);
    }
}

/* ---- The simulated printer ------------------------------------------------------------------------- */

struct Printer {
    HANDLE control = INVALID_HANDLE_VALUE;
    ULONG index = 0; /* which of the simulated printers: \Device\VpUsbSim<index> */

    bool Open()
    {
        control = CreateFileW(VPSIM_CONTROL_WIN32, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        return control != INVALID_HANDLE_VALUE;
    }
    VPSIM_STATE State()
    {
        VPSIM_STATE state = {};
        Control(control, IOCTL_VPSIM_GET_STATE, &index, sizeof(index), &state, sizeof(state));
        return state;
    }
    std::vector<VPSIM_RECORD> Records(ULONG from = 0)
    {
        std::vector<VPSIM_RECORD> records;
        for (VPSIM_RECORD_QUERY query = {index, from};; query.Index++) {
            VPSIM_RECORD record;
            if (!Control(control, IOCTL_VPSIM_GET_RECORD, &query, sizeof(query), &record, sizeof(record))) {
                return records;
            }
            records.push_back(record);
        }
    }
    std::vector<VPSIM_RECORD> Records(ULONG from, ULONG kind)
    {
        std::vector<VPSIM_RECORD> all = Records(from);
        std::vector<VPSIM_RECORD> some;
        for (const VPSIM_RECORD &record : all) {
            if (record.Kind == kind) {
                some.push_back(record);
            }
        }
        return some;
    }
    bool Reply(const std::string &bytes)
    {
        std::string input(reinterpret_cast<const char *>(&index), sizeof(index));
        input += bytes;
        return Control(control, IOCTL_VPSIM_QUEUE_REPLY, input.data(), static_cast<DWORD>(input.size()), nullptr, 0);
    }
    bool Reset() { return Control(control, IOCTL_VPSIM_RESET, &index, sizeof(index), nullptr, 0); }
};

/* ---- Names, links and the device map --------------------------------------------------------------- */

/* The target of an object-manager symbolic link, or "" when there is none. */
std::wstring LinkTarget(const std::wstring &path)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t *>(path.c_str());
    name.Length = static_cast<USHORT>(path.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link;
    if (NtOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes) != 0) {
        return std::wstring();
    }
    wchar_t buffer[512] = {};
    UNICODE_STRING target = {0, sizeof(buffer) - sizeof(wchar_t), buffer};
    NTSTATUS status = NtQuerySymbolicLinkObject(link, &target, nullptr);
    CloseHandle(link);
    return status == 0 ? std::wstring(buffer, target.Length / sizeof(wchar_t)) : std::wstring();
}

/* The names of the device-map values that hold this port name. */
std::vector<std::wstring> DeviceMapEntries(const wchar_t *port)
{
    std::vector<std::wstring> names;
    for (const auto &value : ReadDeviceMap()) {
        if (_wcsicmp(value.second.c_str(), port) == 0) {
            names.push_back(value.first);
        }
    }
    return names;
}

std::string Narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

HANDLE OpenPort(const wchar_t *port)
{
    std::wstring path = std::wstring(L"\\\\.\\") + port;
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

/* An open is judged by a request on its handle: the host may hand out a handle for an open the
 * driver refused. */
bool OpenIsUsable(HANDLE handle)
{
    return handle != INVALID_HANDLE_VALUE && Nop(handle);
}

std::vector<BYTE> Pattern(size_t length, BYTE seed)
{
    std::vector<BYTE> data(length);
    for (size_t i = 0; i < length; i++) {
        data[i] = static_cast<BYTE>(seed + i * 7);
    }
    return data;
}

/* ---- The checks --------------------------------------------------------------------------------------- */

void CheckPublished(const wchar_t *port)
{
    std::wstring plain = LinkTarget(std::wstring(L"\\??\\") + port);
    std::wstring colon = LinkTarget(std::wstring(L"\\??\\") + port + L":");
    Check(!plain.empty() && plain == colon, "published: both DOS links lead to the same device",
          Format("'%s' and '%s'", Narrow(plain).c_str(), Narrow(colon).c_str()));
    std::vector<std::wstring> entries = DeviceMapEntries(port);
    Check(entries.size() == 1 && entries[0] == plain, "published: one device-map value, named after the device",
          Format("%u value(s), first '%s'", static_cast<unsigned>(entries.size()),
                 entries.empty() ? "" : Narrow(entries[0]).c_str()));
}

void CheckOpens(Printer &printer, HANDLE port, const wchar_t *portName)
{
    Check(OpenIsUsable(port), "open: the port answers a request on its first handle");
    /* The open's own device handle: synchronous, delete on close, shared for reading and
     * writing. The reader's: asynchronous, delete on close. (The host does not pass the desired
     * access on to the printer, so that is not checked.) */
    auto hasOpen = [&](ULONG options, ULONG share) {
        for (const VPSIM_RECORD &record : printer.Records(0, VPSIM_OPEN)) {
            if (record.CreateOptions == options && record.ShareAccess == share) {
                return true;
            }
        }
        return false;
    };
    Check(hasOpen(0x1060, 3), "open: the printer is opened synchronously, delete-on-close, shared");
    Check(WaitUntil([&] { return hasOpen(0x1040, 3) && printer.State().WaitingReads == 1; }),
          "open: the reader opens the printer asynchronously and leaves one read waiting");

    /* Windows fails the second CreateFile; Wine hands out a handle for it whatever the driver
     * answered. Either way a refused open never reaches the printer: a request on the new handle
     * is a barrier behind its create, after which no new printer open may have been recorded. */
    ULONG mark = printer.State().RecordCount;
    HANDLE second = OpenPort(portName);
    bool reachedPrinter = false;
    bool secondServed = false;
    if (second != INVALID_HANDLE_VALUE) {
        secondServed = Nop(second);
        reachedPrinter = !printer.Records(mark, VPSIM_OPEN).empty();
    }
    Check(!reachedPrinter, "open: a second open is refused without touching the printer");
    /* The host passes that handle's requests on with the file object of the refused create: the
     * driver serves only the file object of the port's open. */
    Check(!secondServed, "open: a request through the refused open's handle is refused");
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
    }
    /* The refused open's close must leave the first open alone. */
    Sleep(200);
    Check(Nop(port), "open: closing the refused handle leaves the first open working");
    DWORD returned = 1;
    Check(Control(port, IOCTL_VPARALLEL_NOP, nullptr, 0, nullptr, 0, &returned) && returned == 0,
          "DeviceIoControl 0x222004 succeeds with nothing returned");
}

void CheckWrites(Printer &printer, HANDLE port)
{
    const size_t lengths[] = {1, 64, 65, 150};
    for (size_t length : lengths) {
        ULONG mark = printer.State().RecordCount;
        std::vector<BYTE> data = Pattern(length, static_cast<BYTE>(length));
        DWORD written = 0;
        bool ok = WriteBytes(port, data, &written);
        std::vector<VPSIM_RECORD> pieces = printer.Records(mark, VPSIM_WRITE);
        bool writeOpen = false;
        for (const VPSIM_RECORD &record : printer.Records(mark, VPSIM_OPEN)) {
            writeOpen |= record.CreateOptions == 0x60 && record.ShareAccess == 2;
        }
        std::vector<BYTE> seen;
        bool shapeOk = true;
        for (size_t i = 0; i < pieces.size(); i++) {
            size_t expected = length - i * 64 < 64 ? length - i * 64 : 64;
            shapeOk &= pieces[i].Length == expected;
            seen.insert(seen.end(), pieces[i].Data, pieces[i].Data + pieces[i].Length);
        }
        size_t expectedPieces = (length + 63) / 64;
        Check(ok && written == length && writeOpen && pieces.size() == expectedPieces && shapeOk && seen == data,
              Format("write %u bytes: a fresh write open, the bytes in 64-byte pieces", static_cast<unsigned>(length))
                  .c_str(),
              Format("ok %d, written %lu, write open %d, %u piece(s), shape %d, data %s", ok, written, writeOpen,
                     static_cast<unsigned>(pieces.size()), shapeOk, seen == data ? "same" : "differs"));
    }
}

bool SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    return SetCommTimeouts(port, &timeouts);
}

DWORD InputCount(HANDLE port)
{
    COMSTAT status = {};
    DWORD errors = 0;
    return ClearCommError(port, &errors, &status) ? status.cbInQue : 0xFFFFFFFF;
}

void CheckReads(Printer &printer, HANDLE port)
{
    std::string data;
    Check(printer.Reply("hello") && WaitUntil([&] { return InputCount(port) == 5; }),
          "ClearCommError: a 5-byte reply shows as 5 bytes waiting", Format("%lu waiting", InputCount(port)));

    SetTimeouts(port, MAXDWORD, 0, 0);
    Outcome outcome = ReadBytes(port, 100, kWaitMs, &data);
    Check(outcome == Outcome::Done && data == "hello", "read, timeouts MAXDWORD/0/0: the reply at once",
          Format("'%s'", data.c_str()));
    outcome = ReadBytes(port, 100, kWaitMs, &data);
    Check(outcome == Outcome::Done && data.empty(), "read, timeouts MAXDWORD/0/0: nothing waiting, 0 bytes at once");

    SetTimeouts(port, MAXDWORD, MAXDWORD, 300);
    DWORD began = GetTickCount();
    outcome = ReadBytes(port, 100, kWaitMs, &data);
    DWORD took = GetTickCount() - began;
    /* Hosts only ever make a time-out later; one that ends long before it was asked is ignored. */
    Check(outcome == Outcome::Done && data.empty() && took >= 150,
          "read, timeouts MAXDWORD/MAXDWORD/300: nothing arrives, 0 bytes after the constant",
          Format("outcome %d, %lu bytes after %lu ms", static_cast<int>(outcome), static_cast<DWORD>(data.size()), took));

    SetTimeouts(port, 0, 0, 500);
    began = GetTickCount();
    outcome = ReadBytes(port, 100, kWaitMs, &data);
    took = GetTickCount() - began;
    Check(outcome == Outcome::Done && data.empty() && took >= 250,
          "read, timeouts 0/0/500: nothing arrives, 0 bytes after the total time-out",
          Format("outcome %d, %lu bytes after %lu ms", static_cast<int>(outcome), static_cast<DWORD>(data.size()), took));

    {
        /* A read that waits, under each of these, is answered by replies arriving later:
         * MAXDWORD/MAXDWORD/C by the first one; no time-outs at all only once its count is there. */
        struct {
            const char *name;
            DWORD interval, multiplier, constant;
            DWORD length;
            const char *replies[2];
        } rows[] = {
            {"read, timeouts MAXDWORD/MAXDWORD/MAXDWORD-1: the first reply ends the wait", MAXDWORD, MAXDWORD,
             MAXDWORD - 1, 100, {"world", nullptr}},
            {"read, timeouts 0/0/0: waits for its whole count, across replies", 0, 0, 0, 10, {"hello", "world"}},
        };
        for (const auto &row : rows) {
            Request request;
            char buffer[100];
            DWORD bytes;
            DWORD error;
            std::string expected;
            SetTimeouts(port, row.interval, row.multiplier, row.constant);
            BOOL started = ReadFile(port, buffer, row.length, nullptr, &request.overlapped);
            Outcome early = Finish(port, request, started, 200, &bytes, &error);
            bool replied = true;
            for (const char *reply : row.replies) {
                if (reply == nullptr) {
                    continue;
                }
                replied = replied && printer.Reply(reply);
                expected += reply;
            }
            Outcome late = early == Outcome::Pending ? Finish(port, request, TRUE, kWaitMs, &bytes, &error) : early;
            if (late == Outcome::Pending) {
                Abandon(port, request);
            }
            Check(replied && early == Outcome::Pending && late == Outcome::Done && std::string(buffer, bytes) == expected,
                  row.name, Format("early %d late %d, %lu bytes", static_cast<int>(early), static_cast<int>(late), bytes));
        }
    }

    {
        /* Under time-outs that wait for the count, a read the ring can only partly fill is not
         * completed at once: a caller that trusts a synchronous completion as full would take
         * buffer contents as data. It ends through the pending path with the bytes there were. */
        Request request;
        char buffer[8];
        DWORD bytes = 0;
        DWORD error;
        bool arrived = printer.Reply("ab") && WaitUntil([&] { return InputCount(port) == 2; });
        SetTimeouts(port, 0, 0, 300);
        BOOL started = ReadFile(port, buffer, sizeof(buffer), nullptr, &request.overlapped);
        bool synchronous = started != FALSE;
        Outcome outcome = Finish(port, request, started, kWaitMs, &bytes, &error);
        Check(arrived && !synchronous && outcome == Outcome::Done && std::string(buffer, bytes) == "ab",
              "read, timeouts 0/0/300: a short read completes through the pending path",
              Format("synchronous %d outcome %d, %lu bytes", synchronous, static_cast<int>(outcome), bytes));
    }

    Check(FlushFileBuffers(port) != FALSE, "FlushFileBuffers: succeeds, nothing is left to drain",
          Format("error %lu", GetLastError()));
    SetTimeouts(port, MAXDWORD, 0, 0);

    Check(printer.Reply("purged") && WaitUntil([&] { return InputCount(port) == 6; }) &&
              PurgeComm(port, PURGE_RXCLEAR | PURGE_RXABORT) && InputCount(port) == 0,
          "PurgeComm: received bytes are dropped", Format("%lu waiting", InputCount(port)));
}

void CheckSettings(HANDLE port)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    bool got = GetCommState(port, &dcb);
    Check(got && dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT,
          "GetCommState: 115200 baud, 8 data bits, no parity, one stop bit",
          Format("ok %d: %lu %u %u %u", got, dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits));

    DCB changed = dcb;
    changed.BaudRate = 9600;
    changed.ByteSize = 7;
    changed.Parity = EVENPARITY;
    changed.StopBits = TWOSTOPBITS;
    DCB back = {};
    back.DCBlength = sizeof(back);
    bool set = SetCommState(port, &changed);
    got = GetCommState(port, &back);
    Check(set && got && back.BaudRate == 9600 && back.ByteSize == 7 && back.Parity == EVENPARITY &&
              back.StopBits == TWOSTOPBITS,
          "SetCommState/GetCommState: round trip", Format("set %d get %d: %lu %u %u %u", set, got, back.BaudRate,
                                                          back.ByteSize, back.Parity, back.StopBits));
    SetCommState(port, &dcb);

    COMMTIMEOUTS timeouts = {11, 22, 33, 44, 55};
    COMMTIMEOUTS read = {};
    set = SetCommTimeouts(port, &timeouts);
    got = GetCommTimeouts(port, &read);
    Check(set && got && memcmp(&timeouts, &read, sizeof(read)) == 0, "SetCommTimeouts/GetCommTimeouts: round trip");
    SetTimeouts(port, MAXDWORD, 0, 0);

    COMMPROP properties = {};
    got = GetCommProperties(port, &properties);
    Check(got && properties.dwProvSubType == PST_RS232 && properties.dwMaxBaud == BAUD_USER &&
              properties.dwMaxRxQueue != 0,
          "GetCommProperties: an RS-232 port with a receive queue",
          Format("ok %d subtype %lu maxbaud 0x%lx rxqueue %lu", got, properties.dwProvSubType, properties.dwMaxBaud,
                 properties.dwMaxRxQueue));
}

DWORD DtrRts(HANDLE port)
{
    DWORD state = 0xFFFFFFFF;
    Control(port, kIoctlGetDtrRts, nullptr, 0, &state, sizeof(state));
    return state;
}

void CheckModemLines(HANDLE port)
{
    DWORD status = 0;
    Check(GetCommModemStatus(port, &status) && (status & (MS_CTS_ON | MS_DSR_ON)) == (MS_CTS_ON | MS_DSR_ON),
          "GetCommModemStatus: CTS and DSR on while the printer is present", Format("0x%lx", status));

    struct Step {
        DWORD function;
        DWORD mask;
        DWORD expected;
        const char *name;
    } steps[] = {
        {SETDTR, kDtrState, kDtrState, "EscapeCommFunction SETDTR raises DTR"},
        {CLRDTR, kDtrState, 0, "EscapeCommFunction CLRDTR lowers DTR"},
        {SETRTS, kRtsState, kRtsState, "EscapeCommFunction SETRTS raises RTS"},
        {CLRRTS, kRtsState, 0, "EscapeCommFunction CLRRTS lowers RTS"},
    };
    for (const Step &step : steps) {
        bool done = EscapeCommFunction(port, step.function);
        DWORD state = DtrRts(port);
        Check(done && (state & step.mask) == step.expected, step.name, Format("ok %d, lines 0x%lx", done, state));
    }
}

void CheckWaitCommEvent(Printer &printer, HANDLE port)
{
    Check(SetCommMask(port, EV_RXCHAR), "SetCommMask EV_RXCHAR");
    DWORD mask = 0;
    {
        Request request;
        DWORD bytes;
        DWORD error;
        BOOL started = WaitCommEvent(port, &mask, &request.overlapped);
        Outcome early = Finish(port, request, started, 200, &bytes, &error);
        bool replied = early == Outcome::Pending && printer.Reply("event");
        Outcome late = replied ? Finish(port, request, TRUE, kWaitMs, &bytes, &error) : early;
        if (late == Outcome::Pending) {
            Abandon(port, request);
        }
        Check(early == Outcome::Pending && late == Outcome::Done && (mask & EV_RXCHAR) != 0,
              "WaitCommEvent: waits, then completes with EV_RXCHAR when data arrives",
              Format("early %d late %d mask 0x%lx error %lu", static_cast<int>(early), static_cast<int>(late), mask,
                     error));
    }
    SetCommMask(port, 0);
    PurgeComm(port, PURGE_RXCLEAR);
}

std::wstring PresenceKey(const wchar_t *linkedId)
{
    return std::wstring(VP_USB_DEVICE_CLASS_KEY) + L"\\" + linkedId;
}

void CheckCloseAndReopen(Printer &printer, HANDLE *port, const wchar_t *portName)
{
    /* The status request goes out only while the reader has a read on the printer. */
    Check(WaitUntil([&] { return printer.State().WaitingReads == 1; }), "close: the reader is waiting on the printer");
    /* A wait request that nothing will satisfy is still queued when the handle goes; the close
     * must complete it rather than strand it. The request is kept alive if it never completes. */
    SetCommMask(*port, EV_DSR);
    Request *wait = new Request;
    DWORD waitMask = 0;
    BOOL waitStarted = WaitCommEvent(*port, &waitMask, &wait->overlapped);
    bool waitQueued = !waitStarted && GetLastError() == ERROR_IO_PENDING &&
                      WaitForSingleObject(wait->overlapped.hEvent, 200) == WAIT_TIMEOUT;

    ULONG mark = printer.State().RecordCount;
    CloseHandle(*port);
    bool waitEnded = WaitForSingleObject(wait->overlapped.hEvent, kWaitMs) == WAIT_OBJECT_0;
    Check(waitQueued && waitEnded, "close: a queued WaitCommEvent is completed, not stranded",
          Format("queued %d, ended %d", waitQueued, waitEnded));
    if (waitEnded) {
        delete wait;
    }
    /* The close must stop the reader: its read on the printer ends and every device handle goes. */
    bool quiet = WaitUntil([&] {
        VPSIM_STATE state = printer.State();
        return state.WaitingReads == 0 && state.OpenHandles == 0;
    });
    VPSIM_STATE state = printer.State();
    Check(quiet, "close: no read left waiting on the printer and no printer handle left open",
          Format("%lu waiting read(s), %lu handle(s)", state.WaitingReads, state.OpenHandles));
    Check(!printer.Records(mark, VPSIM_STATUS_REQUEST).empty(),
          "close: a class 3 printer is sent the status request");
    ULONG settled = printer.State().RecordCount;
    Sleep(100);
    Check(printer.State().RecordCount == settled, "close: the printer sees nothing more once the port is closed");

    *port = OpenPort(portName);
    Check(OpenIsUsable(*port), "reopen: the port opens again after the close");
}

void CheckPresence(HANDLE port, const wchar_t *linkedId)
{
    LONG error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, PresenceKey(linkedId).c_str());
    DWORD status = 0xFFFFFFFF;
    bool got = GetCommModemStatus(port, &status);
    Check(error == ERROR_SUCCESS && got && (status & (MS_CTS_ON | MS_DSR_ON)) == 0,
          "GetCommModemStatus: CTS and DSR off once the printer's presence key is gone",
          Format("delete %ld, ok %d, 0x%lx", error, got, status));
}

void CheckRemoval(HANDLE port, const wchar_t *portName)
{
    std::wstring pdoName = LinkTarget(std::wstring(L"\\??\\") + portName);
    Request notify;
    DWORD bytes;
    DWORD error;
    BOOL started = DeviceIoControl(port, IOCTL_VPARALLEL_NOTIFY_REMOVAL, nullptr, 0, nullptr, 0, nullptr, &notify.overlapped);
    Outcome early = Finish(port, notify, started, 200, &bytes, &error);
    int removed = RemoveDevices(VP_PORT_HARDWARE_ID);
    Outcome late = early == Outcome::Pending ? Finish(port, notify, TRUE, kWaitMs, &bytes, &error) : early;
    if (late == Outcome::Pending) {
        Abandon(port, notify);
    }
    Check(early == Outcome::Pending && removed == 1 && late == Outcome::Done,
          "DeviceIoControl 0x222000: pending until the device is removed, then succeeds",
          Format("early %d, removed %d, late %d, error %lu", static_cast<int>(early), removed, static_cast<int>(late),
                 error));
    CloseHandle(port);

    bool gone = WaitUntil([&] {
        return LinkTarget(std::wstring(L"\\??\\") + portName).empty() &&
               LinkTarget(std::wstring(L"\\??\\") + portName + L":").empty();
    });
    Check(gone, "removal: both DOS links are gone");
    Check(WaitUntil([&] { return DeviceMapEntries(portName).empty(); }), "removal: the device-map value is gone",
          Narrow(pdoName));
    HANDLE again = OpenPort(portName);
    Check(!OpenIsUsable(again), "removal: the port name no longer opens");
    if (again != INVALID_HANDLE_VALUE) {
        CloseHandle(again);
    }
}

} // namespace

int RunChecks(const wchar_t *portName, const wchar_t *linkedId)
{
    Printer printer;
    if (!printer.Open()) {
        printf("FAIL the simulated printer's control device does not open (%lu)\n", GetLastError());
        printf("0 passed, 1 failed\n");
        return 1;
    }
    printer.Reset();
    CheckPublished(portName);

    HANDLE port = OpenPort(portName);
    CheckOpens(printer, port, portName);
    CheckWrites(printer, port);
    CheckReads(printer, port);
    CheckSettings(port);
    CheckModemLines(port);
    CheckWaitCommEvent(printer, port);
    CheckCloseAndReopen(printer, &port, portName);
    CheckPresence(port, linkedId);
    CheckRemoval(port, portName);

    VPSIM_STATE state = printer.State();
    Check(state.LostRecords == 0, "the printer kept every record");
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
