// scenario.cpp - the scenario format and the record format (scenario.h).
#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
typedef LARGE_INTEGER PHYSICAL_ADDRESS;  // mingw-w64's ntddser.h expects the kernel's type
#else
#include <ntddk.h>
#endif
#include <ntddser.h>

#include "tests/scenarios/scenario.h"

#include "public/vparallel_public.h"
#include "tests/printer/usbsim_control.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace scn {
namespace {

// The control codes a scenario may name: the serial requests the driver serves and its own.
struct NamedCode {
    const char *name;
    uint32_t code;
};
#define SERIAL(name) {#name, IOCTL_##name}
const NamedCode kCodes[] = {
    SERIAL(SERIAL_SET_BAUD_RATE), SERIAL(SERIAL_GET_BAUD_RATE), SERIAL(SERIAL_SET_LINE_CONTROL),
    SERIAL(SERIAL_GET_LINE_CONTROL), SERIAL(SERIAL_SET_TIMEOUTS), SERIAL(SERIAL_GET_TIMEOUTS),
    SERIAL(SERIAL_SET_QUEUE_SIZE), SERIAL(SERIAL_SET_BREAK_ON), SERIAL(SERIAL_SET_BREAK_OFF),
    SERIAL(SERIAL_IMMEDIATE_CHAR), SERIAL(SERIAL_SET_DTR), SERIAL(SERIAL_CLR_DTR), SERIAL(SERIAL_SET_RTS),
    SERIAL(SERIAL_CLR_RTS), SERIAL(SERIAL_RESET_DEVICE), SERIAL(SERIAL_SET_XOFF), SERIAL(SERIAL_SET_XON),
    SERIAL(SERIAL_GET_WAIT_MASK), SERIAL(SERIAL_SET_WAIT_MASK), SERIAL(SERIAL_WAIT_ON_MASK), SERIAL(SERIAL_PURGE),
    SERIAL(SERIAL_GET_CHARS), SERIAL(SERIAL_SET_CHARS), SERIAL(SERIAL_GET_HANDFLOW), SERIAL(SERIAL_SET_HANDFLOW),
    SERIAL(SERIAL_GET_MODEMSTATUS), SERIAL(SERIAL_GET_COMMSTATUS), SERIAL(SERIAL_XOFF_COUNTER),
    SERIAL(SERIAL_GET_PROPERTIES), SERIAL(SERIAL_GET_DTRRTS), SERIAL(SERIAL_CONFIG_SIZE), SERIAL(SERIAL_GET_STATS),
    SERIAL(SERIAL_CLEAR_STATS), SERIAL(SERIAL_GET_MODEM_CONTROL), SERIAL(SERIAL_SET_MODEM_CONTROL),
    SERIAL(SERIAL_SET_FIFO_CONTROL), SERIAL(SERIAL_LSRMST_INSERT),
    {"VPARALLEL_NOTIFY_REMOVAL", IOCTL_VPARALLEL_NOTIFY_REMOVAL},
    {"VPARALLEL_NOP", IOCTL_VPARALLEL_NOP},
};
#undef SERIAL

bool Fail(std::string *error, const std::string &why)
{
    *error = why;
    return false;
}

const char *const kKindNames[] = {"?", "open", "write", "status-request", "cleanup", "close", "read",
                                  "read-cancelled", "read-ended"};

// Splits a line into words; a double-quoted word keeps its blanks (quotes and escapes kept).
bool Words(const std::string &line, std::vector<std::string> *words, std::string *error)
{
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            i++;
            continue;
        }
        if (line[i] == '#') break;
        size_t start = i;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t' && line[i] != '#'))) {
            if (line[i] == '"') quoted = !quoted;
            if (quoted && line[i] == '\\') i++;
            i++;
        }
        if (quoted) {
            *error = "unterminated quote";
            return false;
        }
        words->push_back(line.substr(start, i - start));
    }
    return true;
}

bool Number(const std::string &word, uint64_t *value)
{
    if (word.empty()) return false;
    char *end = nullptr;
    bool negative = word[0] == '-';
    const char *digits = word.c_str() + (negative ? 1 : 0);
    unsigned long long v = std::strtoull(digits, &end, 0);
    if (end == digits || *end != '\0') return false;  // "-" alone is no number
    *value = negative ? uint64_t(-static_cast<long long>(v)) : v;
    return true;
}

bool Number32(const std::string &word, uint32_t *value)
{
    uint64_t v;
    if (!Number(word, &v)) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Escaped(const std::string &quoted, Bytes *out)
{
    for (size_t i = 1; i + 1 < quoted.size(); i++) {
        char c = quoted[i];
        if (c != '\\') {
            out->push_back(static_cast<uint8_t>(c));
            continue;
        }
        if (++i + 1 >= quoted.size()) return false;
        switch (quoted[i]) {
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case '\\': out->push_back('\\'); break;
        case '"': out->push_back('"'); break;
        case 'x': {
            if (i + 3 >= quoted.size()) return false;
            int hi = HexDigit(quoted[i + 1]);
            int lo = HexDigit(quoted[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out->push_back(static_cast<uint8_t>(hi * 16 + lo));
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

// BYTES as the file writes them; hex: takes every word after it up to the next keyword.
bool ParseBytes(const std::vector<std::string> &w, size_t *at, Bytes *out)
{
    if (*at >= w.size()) return false;
    const std::string &word = w[*at];
    (*at)++;
    if (word.size() >= 2 && word.front() == '"' && word.back() == '"') return Escaped(word, out);
    if (word.rfind("pattern:", 0) == 0) {
        uint32_t n;
        if (!Number32(word.substr(8), &n)) return false;
        for (uint32_t i = 0; i < n; i++) out->push_back(static_cast<uint8_t>(0x20 + i));
        return true;
    }
    if (word.rfind("u32:", 0) == 0) {
        std::stringstream list(word.substr(4));
        std::string item;
        while (std::getline(list, item, ',')) {
            uint32_t v;
            if (!Number32(item, &v)) return false;
            for (int b = 0; b < 4; b++) out->push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
        return true;
    }
    if (word.rfind("hex:", 0) == 0) {
        std::string digits = word.substr(4);
        while (*at < w.size() && w[*at] != "in" && w[*at] != "out") digits += w[(*at)++];
        if (digits.size() % 2 != 0) return false;
        for (size_t i = 0; i < digits.size(); i += 2) {
            int hi = HexDigit(digits[i]);
            int lo = HexDigit(digits[i + 1]);
            if (hi < 0 || lo < 0) return false;
            out->push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        return true;
    }
    return false;
}

bool Code(const std::string &word, uint32_t *code)
{
    for (const NamedCode &c : kCodes) {
        if (word == c.name) {
            *code = c.code;
            return true;
        }
    }
    return Number32(word, code);
}

// A request from words[at]: read H N | write H BYTES | ioctl H CODE [in BYTES] [out N] | timeouts H I M C
bool ParseRequest(const std::vector<std::string> &w, size_t at, Request *r, std::string *error)
{
    if (w.size() < at + 3) {
        *error = "a request needs its kind, handle and argument";
        return false;
    }
    const std::string &kind = w[at];
    r->handle = w[at + 1];
    size_t next = at + 2;
    if (kind == "read") {
        r->kind = RequestKind::Read;
        if (w.size() != at + 3 || !Number32(w[next], &r->length)) return Fail(error, "read H N");
        return true;
    }
    if (kind == "write") {
        r->kind = RequestKind::Write;
        if (!ParseBytes(w, &next, &r->input) || next != w.size()) return Fail(error, "write H BYTES");
        return true;
    }
    if (kind == "timeouts") {
        uint32_t t[3];
        if (w.size() != at + 5 || !Number32(w[at + 2], &t[0]) || !Number32(w[at + 3], &t[1]) ||
            !Number32(w[at + 4], &t[2]))
            return Fail(error, "timeouts H INTERVAL MULTIPLIER CONSTANT");
        r->kind = RequestKind::Ioctl;
        r->code = IOCTL_SERIAL_SET_TIMEOUTS;
        for (uint32_t v : {t[0], t[1], t[2], 0u, 0u})
            for (int b = 0; b < 4; b++) r->input.push_back(static_cast<uint8_t>(v >> (8 * b)));
        return true;
    }
    if (kind == "ioctl") {
        r->kind = RequestKind::Ioctl;
        if (!Code(w[next++], &r->code)) return Fail(error, "unknown control code " + w[next - 1]);
        while (next < w.size()) {
            if (w[next] == "in") {
                next++;
                if (!ParseBytes(w, &next, &r->input)) return Fail(error, "ioctl H CODE [in BYTES] [out N]");
                continue;
            }
            if (w[next] == "out" && next + 1 < w.size() && Number32(w[next + 1], &r->output)) {
                next += 2;
                continue;
            }
            return Fail(error, "ioctl H CODE [in BYTES] [out N]");
        }
        return true;
    }
    *error = "unknown request " + kind;
    return false;
}

bool ParsePrinter(const std::vector<std::string> &w, Step *s, std::string *error)
{
    if (w.size() < 3) return Fail(error, "printer PORT ACTION ...");
    s->port = w[1];
    const std::string &a = w[2];
    size_t at = 3;
    if (a == "reply") {
        s->action = PrinterAction::Reply;
        if (!ParseBytes(w, &at, &s->bytes) || at != w.size() || s->bytes.empty()) return Fail(error, "printer PORT reply BYTES");
    } else if (a == "unplug" || a == "plug") {
        s->action = a == "plug" ? PrinterAction::Plug : PrinterAction::Unplug;
        if (w.size() != 3) return Fail(error, "printer PORT " + a);
    } else if (a == "slow" || a == "unplug-in") {
        s->action = a == "slow" ? PrinterAction::Slow : PrinterAction::UnplugIn;
        if (w.size() != 4 || !Number32(w[3], &s->value)) return Fail(error, "printer PORT " + a + " MS");
    } else if (a == "never-answer") {
        s->action = PrinterAction::NeverAnswer;
        if (w.size() != 4 || (w[3] != "on" && w[3] != "off")) return Fail(error, "printer PORT never-answer on|off");
        s->value = w[3] == "on";
    } else if (a == "refuse-opens") {
        s->action = PrinterAction::RefuseOpens;
        uint32_t status;
        if (w.size() != 4 || !Number32(w[3], &status)) return Fail(error, "printer PORT refuse-opens STATUS");
        s->status = static_cast<int32_t>(status);
    } else if (a == "fail-write") {
        s->action = PrinterAction::FailWrite;
        uint32_t status;
        if (w.size() != 5 || !Number32(w[3], &s->value) || !Number32(w[4], &status) || s->value == 0)
            return Fail(error, "printer PORT fail-write N STATUS");
        s->status = static_cast<int32_t>(status);
    } else {
        return Fail(error, "unknown printer action " + a);
    }
    return true;
}

bool ParseStep(const std::vector<std::string> &w, Step *s, std::string *error)
{
    const std::string &op = w[0];
    uint64_t n = 0;
    if (op == "open" && w.size() == 3) {
        s->op = Op::Open;
        s->handle = w[1];
        s->port = w[2];
        return true;
    }
    if (op == "close" && w.size() == 2) {
        s->op = Op::Close;
        s->handle = w[1];
        return true;
    }
    if (op == "read" || op == "write" || op == "ioctl" || op == "timeouts") {
        s->op = Op::Request;
        return ParseRequest(w, 0, &s->request, error);
    }
    if (op == "start" && w.size() >= 4) {
        s->op = Op::Start;
        s->tag = w[1];
        return ParseRequest(w, 2, &s->request, error);
    }
    if (op == "await" && (w.size() == 2 || w.size() == 3)) {
        s->op = Op::Await;
        s->tag = w[1];
        s->ms = 5000;
        return w.size() == 2 || Number32(w[2], &s->ms) || Fail(error, "await T [MS]");
    }
    if (op == "cancel" && w.size() == 2) {
        s->op = Op::Cancel;
        s->tag = w[1];
        return true;
    }
    if (op == "printer") {
        s->op = Op::Printer;
        return ParsePrinter(w, s, error);
    }
    if (op == "wait" && w.size() == 2 && Number(w[1], &n)) {
        s->op = Op::Wait;
        s->ms = static_cast<uint32_t>(n);
        return true;
    }
    if ((op == "surprise-remove" || op == "remove") && w.size() == 2) {
        s->op = op == "remove" ? Op::Remove : Op::SurpriseRemove;
        s->port = w[1];
        return true;
    }
    *error = "cannot read the step '" + op + "'";
    return false;
}

std::string Joined(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

}  // namespace

bool Parse(const std::string &text, Scenario *out, std::string *error)
{
    *out = Scenario();
    std::stringstream in(text);
    std::string line;
    int number = 0;
    std::vector<std::string> w;
    while (std::getline(in, line)) {
        number++;
        std::string why;
        if (!Words(line, &w, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        if (w.empty()) continue;
        if (out->name.empty()) {
            if (w[0] != "scenario" || w.size() != 2) {
                *error = "line " + std::to_string(number) + ": the file starts with 'scenario NAME'";
                return false;
            }
            out->name = w[1];
            continue;
        }
        if (w[0] == "port") {
            if (w.size() != 3 || !out->steps.empty()) {
                *error = "line " + std::to_string(number) + ": 'port NAME DEVICE-ID' comes before the steps";
                return false;
            }
            out->ports.push_back({w[1], w[2], static_cast<int>(out->ports.size()) + 1});
            continue;
        }
        Step step;
        step.line = number;
        step.text = Joined(w);
        if (!ParseStep(w, &step, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        out->steps.push_back(step);
    }
    if (out->name.empty()) {
        *error = "no scenario";
        return false;
    }
    return true;
}

std::string LinkedId(const Port &port)
{
    char serial[16];
    std::snprintf(serial, sizeof serial, "SCN%04d", port.serial);
    return "##?#USB#" + port.device_id + "#" + serial + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

std::string DevicePath(const Port &port)
{
    char serial[16];
    std::snprintf(serial, sizeof serial, "SCN%04d", port.serial);
    return "\\??\\USB#" + port.device_id + "#" + serial + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

std::string Hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text.empty() ? "-" : text;
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string DebugLine(const std::string &message)
{
    std::string line = message;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    for (char &c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

std::string FormatApp(const AppResult &result)
{
    if (result.pending) return "pending";
    return Hex32(result.status) + " " + std::to_string(result.information) + " " + Hex(result.data);
}

std::string FormatPrinterRecord(const std::string &port, const VPSIM_ENTRY &e, const Bytes &data)
{
    const uint32_t kind = e.Kind;
    std::string text = port + " " + (kind < sizeof kKindNames / sizeof kKindNames[0] ? kKindNames[kind] : "?");
    text += " file=" + std::to_string(e.File) + " status=" + Hex32(static_cast<uint32_t>(e.Status));
    if (kind == VPSIM_OPEN) {
        text += " access=" + Hex32(e.DesiredAccess) + " options=" + Hex32(e.CreateOptions) +
                " disposition=" + std::to_string(e.Disposition) + " share=" + std::to_string(e.ShareAccess) +
                " attributes=" + Hex32(e.FileAttributes) + " system=" + std::to_string(e.Flags & VPSIM_FROM_SYSTEM ? 1 : 0);
    }
    if (kind == VPSIM_WRITE || kind == VPSIM_STATUS_REQUEST || kind == VPSIM_READ)
        text += " length=" + std::to_string(e.Length) + " data=" + Hex(data);
    return text;
}

void WriteRecord(const ScenarioRecord &record, std::string *out)
{
    *out += "scenario " + record.name + "\n";
    for (const StepRecord &s : record.steps) {
        *out += "step " + std::to_string(s.index) + " " + s.text + "\n";
        for (const std::string &a : s.app) *out += "app " + a + "\n";
        for (const std::string &p : s.printer) *out += "printer " + p + "\n";
        for (const std::string &d : s.dbg) *out += "dbg " + d + "\n";
    }
    *out += "end\n";
}

bool ReadRecords(const std::string &text, std::vector<ScenarioRecord> *out, std::string *error)
{
    std::stringstream in(text);
    std::string line;
    ScenarioRecord *current = nullptr;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t space = line.find(' ');
        std::string word = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word == "scenario") {
            out->push_back({rest, {}});
            current = &out->back();
        } else if (word == "end") {
            current = nullptr;
        } else if (current != nullptr && word == "step") {
            StepRecord s;
            size_t blank = rest.find(' ');
            s.index = std::atoi(rest.substr(0, blank).c_str());
            s.text = blank == std::string::npos ? "" : rest.substr(blank + 1);
            current->steps.push_back(s);
        } else if (current != nullptr && !current->steps.empty() && (word == "app" || word == "printer" || word == "dbg")) {
            StepRecord &s = current->steps.back();
            (word == "app" ? s.app : word == "printer" ? s.printer : s.dbg).push_back(rest);
        } else if (!line.empty()) {
            *error = "line " + std::to_string(number) + ": unexpected '" + line + "'";
            return false;
        }
    }
    return true;
}

int RunFiles(const std::vector<std::string> &files, const std::string &out, const Runner &run)
{
    std::string records;
    int failed = 0;
    for (const std::string &path : files) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        Scenario scenario;
        if (!in || !Parse(text.str(), &scenario, &error)) {
            std::cerr << path << ": " << (in ? error : "cannot read it") << "\n";
            return 2;
        }
        ScenarioRecord record;
        record.name = scenario.name;
        std::string problem;
        if (!run(scenario, &record, &problem)) {
            failed++;
            std::cerr << "scenario " << scenario.name << ": " << problem << "\n";
        }
        WriteRecord(record, &records);
    }
    std::ofstream file(out, std::ios::binary);
    file << records;
    if (!file) {
        std::cerr << "cannot write " << out << "\n";
        return 2;
    }
    return failed == 0 ? 0 : 1;
}

std::string StepMarker(const std::string &scenario, int step)
{
    return "@@vpscenario " + scenario + " " + std::to_string(step);
}

bool ParseStepMarker(const std::string &line, std::string *scenario, int *step)
{
    size_t at = line.find("@@vpscenario ");
    if (at == std::string::npos) return false;
    std::stringstream in(line.substr(at + 13));
    return static_cast<bool>(in >> *scenario >> *step);
}

}  // namespace scn
