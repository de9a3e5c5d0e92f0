// scenario.h - scenarios: the steps an application and the test bed take, as data, and the record
// of what each step showed, in one text form for both kernels.
//
// The same source builds into the stand-in's runner and comparer (Linux) and into the Win32 client
// (vptest.exe, under Wine). A scenario file (tests/scenarios/*.scn) holds, one per line:
//
//   scenario NAME                       its name (first)
//   port NAME DEVICE-ID                 a port and the USB printer linked to it (before the steps),
//                                       DEVICE-ID like Vid_1504&Pid_0002; the n-th port's printer
//                                       has the serial number SCN000n
//   open H PORT                         the application opens \\.\PORT as handle H
//   close H
//   write H BYTES                       a request, run to its end (at most 5 s)
//   read H N
//   ioctl H CODE [in BYTES] [out N]     CODE: a name of the table in scenario.cpp, or a number
//   timeouts H I M C                    shorthand: ioctl H SERIAL_SET_TIMEOUTS with those read
//                                       time-outs (write time-outs 0)
//   start T REQUEST                     a read, write or ioctl as above, left running as T
//   await T [MS]                        waits up to MS (default 5000) for T to end
//   cancel T                            the application cancels T (CancelIoEx)
//   printer PORT reply BYTES            the port's printer sends a reply
//   printer PORT unplug | plug
//   printer PORT unplug-in MS           it is unplugged MS from now, whatever the application is
//                                       doing then (a write under way, say)
//   printer PORT slow MS                its writes take MS from now on (0: at once)
//   printer PORT never-answer on|off
//   printer PORT refuse-opens STATUS    (0 accepts again)
//   printer PORT fail-write N STATUS    its N-th write from now fails
//   wait MS                             time passes
//   surprise-remove PORT | remove PORT  the Plug and Play manager's requests
//
// BYTES: "text" (with \n, \r, \\, \" and \xHH), hex:10 04 01, pattern:N (N bytes 0x20, 0x21, ...),
// u32:A,B,... (little-endian 32-bit numbers). Numbers may be decimal or 0x-hex. '#' starts a comment.
//
// A record file holds, for each scenario, its steps with what each showed:
//
//   scenario NAME
//   step I TEXT
//   app STATUS INFORMATION HEX | app pending         what the application saw
//   printer PORT KIND FIELDS...                      what the port's printer recorded meanwhile
//   dbg TEXT                                         the driver's debug messages meanwhile
//   end
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct _VPSIM_ENTRY;  // tests/printer/usbsim_control.h

namespace scn {

using Bytes = std::vector<uint8_t>;

enum class Op {
    Open, Close, Request, Start, Await, Cancel, Printer, Wait, SurpriseRemove, Remove,
};

enum class RequestKind { Read, Write, Ioctl };

struct Request {
    RequestKind kind = RequestKind::Read;
    std::string handle;
    uint32_t length = 0;  // read: bytes asked for
    Bytes input;          // write: the bytes; ioctl: its input
    uint32_t code = 0;    // ioctl
    uint32_t output = 0;  // ioctl: output length
};

enum class PrinterAction { Reply, Unplug, Plug, UnplugIn, Slow, NeverAnswer, RefuseOpens, FailWrite };

struct Step {
    int line = 0;
    std::string text;  // the step as written, comment and extra blanks removed
    Op op = Op::Wait;
    std::string handle;  // open, close
    std::string port;    // open, printer, surprise-remove, remove
    std::string tag;     // start, await, cancel
    Request request;     // request, start
    uint32_t ms = 0;     // wait, await
    PrinterAction action = PrinterAction::Reply;
    Bytes bytes;          // printer reply
    uint32_t value = 0;   // printer slow and unplug-in (ms), never-answer (0/1), fail-write (N)
    int32_t status = 0;   // printer refuse-opens, fail-write
};

struct Port {
    std::string name;
    std::string device_id;  // Vid_XXXX&Pid_XXXX
    int serial = 0;         // 1 for the first port of the scenario
};

struct Scenario {
    std::string name;
    std::vector<Port> ports;
    std::vector<Step> steps;
};

// Parses one scenario file. On failure returns false with "line N: what" in *error.
bool Parse(const std::string &text, Scenario *out, std::string *error);

// The printer's names as the test bed gives them: its interface key name under the USB
// device-interface class key, and the device path a port's HardwareId holds.
std::string LinkedId(const Port &port);
std::string DevicePath(const Port &port);

// ---- Records ----------------------------------------------------------------------------------
struct AppResult {
    bool pending = false;
    uint32_t status = 0;
    uint64_t information = 0;
    Bytes data;
};

struct StepRecord {
    int index = 0;
    std::string text;
    std::vector<std::string> app;      // "STATUS INFORMATION HEX" or "pending"
    std::vector<std::string> printer;  // "PORT KIND FIELDS..."
    std::vector<std::string> dbg;
};

struct ScenarioRecord {
    std::string name;
    std::vector<StepRecord> steps;
};

std::string FormatApp(const AppResult &result);
// One printer record (an entry of tests/printer/usbsim_entries.h, with its data) as text: port,
// kind and the fields that kind has (see scenario.cpp).
std::string FormatPrinterRecord(const std::string &port, const ::_VPSIM_ENTRY &entry, const Bytes &data);
void WriteRecord(const ScenarioRecord &record, std::string *out);
// Reads every scenario of a record file; false with *error on a malformed file.
bool ReadRecords(const std::string &text, std::vector<ScenarioRecord> *out, std::string *error);

std::string Hex(const Bytes &bytes);
std::string Hex32(uint32_t value);  // 0x0000000A
// Debug text as a record holds it: one line, without the trailing newline.
std::string DebugLine(const std::string &message);

// The marker the Win32 client writes to its standard error before each step, so that the driver
// messages the host logs in between can be given to that step.
std::string StepMarker(const std::string &scenario, int step);
bool ParseStepMarker(const std::string &line, std::string *scenario, int *step);

// What a runner does with one scenario: fills its record; false with *problem when the scenario
// could not be run to its end (the record then holds the steps run).
using Runner = std::function<bool(const Scenario &, ScenarioRecord *, std::string *problem)>;
// Runs the scenario files one after the other and writes their records to out. Returns 0 when every
// scenario ran to its end, 1 when one did not (said on standard error), 2 for a file that cannot
// be read or parsed, or records that cannot be written.
int RunFiles(const std::vector<std::string> &files, const std::string &out, const Runner &run);

}  // namespace scn
