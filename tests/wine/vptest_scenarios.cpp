/*
 * vptest_scenarios.cpp - "vptest scenario OUT FILE...": the scenarios of tests/scenarios/ run
 * through the Win32 API, as an application and a test bed on Windows run them.
 *
 * The ports are installed and started by the run script before. For each scenario the client
 * connects a printer of the simulated printer's driver to each port and writes the port's link
 * values; the application's requests are CreateFile, DeviceIoControl, ReadFile and WriteFile on
 * overlapped handles, one to one with the requests the stand-in's runner sends. Statuses are the
 * NTSTATUS the host completed the request with (OVERLAPPED.Internal), or the one it failed the call
 * with at once (RtlGetLastNtStatus).
 *
 * What the host does differently, and how each step waits for it:
 *  - CreateFile returns before the driver has seen the create, and a handle even when the driver
 *    refuses it: an open is followed by IOCTL_VPARALLEL_NOP as a barrier; when that fails, the
 *    open counts as refused with the barrier's status, and the handle is closed again.
 *  - The close reaches the driver after CloseHandle returns, and a surprise removal completes
 *    before the host is done with the device: those two steps end with a settle before their
 *    record is taken. Other steps are recorded as soon as they return, as on the stand-in, where
 *    no time passes between steps.
 *  - Surprise removal and removal come together from DIF_REMOVE: "surprise-remove" removes the
 *    device, "remove" finds it gone.
 *  - "unplug-in" runs on a thread of the client's own, as the test bed's hand on the cable.
 * Before each step the client writes a marker line (scenario::StepMarker) to its standard error,
 * which the run script sends to the same file as the drivers' debug messages; the comparer gives
 * each message to the step whose marker precedes it.
 */
#include "tests/wine/vptest.h"

#include <winioctl.h>
#include <winternl.h>
#include <stdio.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "public/vparallel_public.h"
#include "tests/printer/usbsim_entries.h"
#include "tests/scenarios/scenario.h"

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

namespace {

const DWORD kSettleMs = 200;
const DWORD kRequestMs = 5000;

bool Succeeded(uint32_t status) { return (status >> 31) == 0; }
bool IsError(uint32_t status) { return (status >> 30) == 3; }

std::wstring Wide(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

/* An overlapped request of the application's. */
struct Pending {
    OVERLAPPED overlapped = {};
    std::vector<BYTE> buffer;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool done = false;
    scn::AppResult result;
    Pending() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Pending() { CloseHandle(overlapped.hEvent); }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;

    /* How the call that started the request went. */
    void Started(BOOL ok)
    {
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            done = true;
            result.status = static_cast<uint32_t>(RtlGetLastNtStatus());
        }
    }
    /* True once it has ended; waits up to ms for that. */
    bool Wait(DWORD ms)
    {
        if (done) return true;
        if (WaitForSingleObject(overlapped.hEvent, ms) != WAIT_OBJECT_0) return false;
        done = true;
        result.status = static_cast<uint32_t>(overlapped.Internal);
        result.information = overlapped.InternalHigh;
        if (!IsError(result.status) && result.information <= buffer.size())
            result.data.assign(buffer.begin(), buffer.begin() + result.information);
        return true;
    }
    scn::AppResult Outcome() const
    {
        if (done) return result;
        scn::AppResult pending;
        pending.pending = true;
        return pending;
    }
};

std::unique_ptr<Pending> Send(HANDLE file, const scn::Request &r)
{
    auto p = std::make_unique<Pending>();
    p->file = file;
    BOOL ok = FALSE;
    switch (r.kind) {
    case scn::RequestKind::Read:
        p->buffer.assign(r.length, 0);
        ok = ReadFile(file, p->buffer.data(), r.length, nullptr, &p->overlapped);
        break;
    case scn::RequestKind::Write:
        ok = WriteFile(file, r.input.data(), static_cast<DWORD>(r.input.size()), nullptr, &p->overlapped);
        break;
    case scn::RequestKind::Ioctl:
        p->buffer.assign(r.output, 0);
        ok = DeviceIoControl(file, r.code, const_cast<BYTE *>(r.input.data()), static_cast<DWORD>(r.input.size()),
                             p->buffer.data(), r.output, nullptr, &p->overlapped);
        break;
    }
    p->Started(ok);
    return p;
}

/* A request that must end before its buffers go: cancelled, and waited for. */
void Abandon(Pending &p)
{
    if (p.done) return;
    CancelIoEx(p.file, &p.overlapped);
    p.Wait(kRequestMs);
}

/* ---- The simulated printer's control device ------------------------------------------------ */

class Control {
public:
    bool Open()
    {
        handle_ = CreateFileW(VPSIM_CONTROL_WIN32, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }
    ~Control()
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    NTSTATUS Call(DWORD code, const void *in, DWORD inLength, void *out = nullptr, DWORD outLength = 0,
                  DWORD *returned = nullptr)
    {
        scn::Request r;
        r.kind = scn::RequestKind::Ioctl;
        r.code = code;
        r.input.assign(static_cast<const BYTE *>(in), static_cast<const BYTE *>(in) + inLength);
        r.output = outLength;
        std::unique_ptr<Pending> p = Send(handle_, r);
        if (!p->Wait(kRequestMs)) {
            Abandon(*p);
            return static_cast<NTSTATUS>(0xC00000B5); /* STATUS_IO_TIMEOUT */
        }
        if (out != nullptr) memcpy(out, p->result.data.data(), p->result.data.size());
        if (returned != nullptr) *returned = static_cast<DWORD>(p->result.data.size());
        return static_cast<NTSTATUS>(p->result.status);
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

/* ---- Ports ------------------------------------------------------------------------------------ */

struct PortBed {
    scn::Port port;
    ULONG printer = 0;
    ULONG recordsSeen = 0;
};

bool WriteLink(const scn::Port &port)
{
    std::wstring key = std::wstring(VP_LINK_KEY) + L"\\" + Wide(port.name);
    std::wstring path = Wide(scn::DevicePath(port));
    std::wstring id = Wide(scn::LinkedId(port));
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), VP_HARDWARE_ID_VALUE, REG_SZ, path.c_str(),
                           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
           RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), VP_LINKED_ID_VALUE, REG_SZ, id.c_str(),
                           static_cast<DWORD>((id.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool Published(const std::string &port)
{
    const std::wstring name = Wide(port);
    for (int i = 0; i < 100; i++) {
        wchar_t target[512];
        if (QueryDosDeviceW(name.c_str(), target, 512) != 0) return true;
        Sleep(100);
    }
    return false;
}

/* DIF_REMOVE of the Ports device whose device key names this port. */
bool RemovePort(const std::string &port)
{
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool removed = false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; !removed && SetupDiEnumDeviceInfo(set, index, &device); index++) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        wchar_t name[256] = {};
        DWORD bytes = sizeof(name) - sizeof(wchar_t);
        bool same = RegQueryValueExW(key, VP_PORT_NAME_VALUE, nullptr, nullptr, reinterpret_cast<BYTE *>(name),
                                     &bytes) == ERROR_SUCCESS &&
                    _wcsicmp(name, Wide(port).c_str()) == 0;
        RegCloseKey(key);
        if (same) removed = SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE;
    }
    SetupDiDestroyDeviceInfoList(set);
    return removed;
}

/* ---- One scenario ----------------------------------------------------------------------------- */

class Run {
public:
    Run(const scn::Scenario &scenario, Control &control, scn::ScenarioRecord *record)
        : scenario_(scenario), control_(control), record_(*record)
    {
    }

    bool Execute(std::string *problem)
    {
        ULONG next = 0;
        for (const scn::Port &p : scenario_.ports) {
            PortBed bed;
            bed.port = p;
            bed.printer = next++;
            VPSIM_CONNECT connect = {};
            connect.Printer = bed.printer;
            std::wstring id = Wide(scn::LinkedId(p));
            std::wstring path = Wide(scn::DevicePath(p));
            wcsncpy(connect.LinkedId, id.c_str(), VPSIM_NAME_CHARS - 1);
            wcsncpy(connect.DevicePath, path.c_str(), VPSIM_NAME_CHARS - 1);
            NTSTATUS status = control_.Call(IOCTL_VPSIM_CONNECT, &connect, sizeof(connect));
            if (!Succeeded(status)) return Fail(problem, "printer " + std::to_string(bed.printer) + " does not connect: " + scn::Hex32(status));
            if (!WriteLink(p)) return Fail(problem, "the link of " + p.name + " cannot be written");
            if (!Published(p.name)) return Fail(problem, "port " + p.name + " is not published");
            ports_.push_back(bed);
        }
        for (size_t i = 0; i < scenario_.steps.size(); i++) {
            const scn::Step &step = scenario_.steps[i];
            scn::StepRecord rec;
            rec.index = static_cast<int>(i + 1);
            rec.text = step.text;
            fprintf(stderr, "%s\n", scn::StepMarker(scenario_.name, rec.index).c_str());
            fflush(stderr);
            if (!Perform(step, &rec, problem)) {
                *problem = "line " + std::to_string(step.line) + ": " + *problem;
                return false;
            }
            if (step.op == scn::Op::Close || step.op == scn::Op::SurpriseRemove) Sleep(kSettleMs);
            Collect(&rec);
            record_.steps.push_back(rec);
        }
        fprintf(stderr, "%s\n", scn::StepMarker(scenario_.name, 0).c_str());
        fflush(stderr);
        return true;
    }

    /* Ends what the scenario left, and disconnects its printers. */
    void Finish()
    {
        JoinLater();
        for (auto &entry : running_) Abandon(*entry.second);
        running_.clear();
        for (auto &entry : files_) CloseHandle(entry.second);
        files_.clear();
        Sleep(200);
        for (const PortBed &bed : ports_) control_.Call(IOCTL_VPSIM_DISCONNECT, &bed.printer, sizeof(bed.printer));
    }

private:
    static bool Fail(std::string *problem, const std::string &why)
    {
        *problem = why;
        return false;
    }

    /* An unplug that comes later, from a thread of its own. */
    struct Later {
        Run *run;
        ULONG printer;
        DWORD ms;
        NTSTATUS status;
    };

    static DWORD WINAPI UnplugLater(void *context)
    {
        Later *later = static_cast<Later *>(context);
        Sleep(later->ms);
        later->status = later->run->control_.Call(IOCTL_VPSIM_UNPLUG, &later->printer, sizeof(later->printer));
        return 0;
    }

    /* Waits for the later unplugs. False with *problem when one failed. */
    bool JoinLater(std::string *problem = nullptr)
    {
        bool ok = true;
        for (auto &entry : later_) {
            WaitForSingleObject(entry.first, INFINITE);
            CloseHandle(entry.first);
            if (!Succeeded(entry.second->status)) ok = false;
        }
        later_.clear();
        return ok || problem == nullptr || Fail(problem, "a later unplug failed");
    }

    PortBed *Bed(const std::string &name)
    {
        for (PortBed &bed : ports_)
            if (bed.port.name == name) return &bed;
        return nullptr;
    }

    bool Perform(const scn::Step &step, scn::StepRecord *rec, std::string *problem)
    {
        switch (step.op) {
        case scn::Op::Open: {
            std::wstring path = L"\\\\.\\" + Wide(step.port);
            HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
            scn::AppResult result;
            if (file == INVALID_HANDLE_VALUE) {
                result.status = static_cast<uint32_t>(RtlGetLastNtStatus());
            } else {
                scn::Request barrier;
                barrier.kind = scn::RequestKind::Ioctl;
                barrier.code = IOCTL_VPARALLEL_NOP;
                std::unique_ptr<Pending> nop = Send(file, barrier);
                if (!nop->Wait(kRequestMs)) Abandon(*nop);
                result.status = nop->result.status;
                if (Succeeded(result.status)) {
                    files_[step.handle] = file;
                } else {
                    CloseHandle(file);
                }
            }
            rec->app.push_back(scn::FormatApp(result));
            return true;
        }
        case scn::Op::Close: {
            auto it = files_.find(step.handle);
            if (it == files_.end()) return Fail(problem, "no open handle " + step.handle);
            CloseHandle(it->second);
            files_.erase(it);
            rec->app.push_back(scn::FormatApp({}));
            return true;
        }
        case scn::Op::Request:
        case scn::Op::Start: {
            auto it = files_.find(step.request.handle);
            if (it == files_.end()) return Fail(problem, "no open handle " + step.request.handle);
            std::unique_ptr<Pending> p = Send(it->second, step.request);
            p->Wait(step.op == scn::Op::Request ? kRequestMs : 0);
            rec->app.push_back(scn::FormatApp(p->Outcome()));
            if (step.op == scn::Op::Start || !p->done)
                running_[step.op == scn::Op::Start ? step.tag : "(line " + std::to_string(step.line) + ")"] = std::move(p);
            return true;
        }
        case scn::Op::Await:
        case scn::Op::Cancel: {
            auto it = running_.find(step.tag);
            if (it == running_.end()) return Fail(problem, "no request " + step.tag);
            if (step.op == scn::Op::Cancel) {
                CancelIoEx(it->second->file, &it->second->overlapped);
                return true;
            }
            it->second->Wait(step.ms);
            rec->app.push_back(scn::FormatApp(it->second->Outcome()));
            return true;
        }
        case scn::Op::Printer:
            return PrinterAction(step, problem);
        case scn::Op::Wait:
            Sleep(step.ms);
            return true;
        case scn::Op::SurpriseRemove:
            if (Bed(step.port) == nullptr) return Fail(problem, "no port " + step.port);
            if (!RemovePort(step.port)) return Fail(problem, "port " + step.port + " could not be removed");
            return true;
        case scn::Op::Remove:
            return Bed(step.port) != nullptr || Fail(problem, "no port " + step.port);
        }
        return Fail(problem, "unknown step");
    }

    bool PrinterAction(const scn::Step &step, std::string *problem)
    {
        PortBed *bed = Bed(step.port);
        if (bed == nullptr) return Fail(problem, "no port " + step.port);
        ULONG index = bed->printer;
        NTSTATUS status = 0;
        switch (step.action) {
        case scn::PrinterAction::Reply: {
            std::vector<BYTE> input(sizeof(ULONG) + step.bytes.size());
            memcpy(input.data(), &index, sizeof(ULONG));
            memcpy(input.data() + sizeof(ULONG), step.bytes.data(), step.bytes.size());
            status = control_.Call(IOCTL_VPSIM_QUEUE_REPLY, input.data(), static_cast<DWORD>(input.size()));
            break;
        }
        case scn::PrinterAction::Unplug:
            status = control_.Call(IOCTL_VPSIM_UNPLUG, &index, sizeof(index));
            break;
        case scn::PrinterAction::Plug:
            if (!JoinLater(problem)) return false;
            status = control_.Call(IOCTL_VPSIM_PLUG, &index, sizeof(index));
            break;
        case scn::PrinterAction::UnplugIn: {
            auto later = std::make_unique<Later>(Later{this, index, step.value, 0});
            HANDLE thread = CreateThread(nullptr, 0, UnplugLater, later.get(), 0, nullptr);
            if (thread == nullptr) return Fail(problem, "no thread for the later unplug");
            later_.emplace_back(thread, std::move(later));
            break;
        }
        case scn::PrinterAction::FailWrite: {
            VPSIM_FAIL_WRITE fail = {index, step.value, step.status};
            status = control_.Call(IOCTL_VPSIM_FAIL_WRITE, &fail, sizeof(fail));
            break;
        }
        case scn::PrinterAction::Slow:
        case scn::PrinterAction::NeverAnswer:
        case scn::PrinterAction::RefuseOpens: {
            VPSIM_BEHAVIOUR &b = behaviour_[index];
            if (b.StatusByte == 0) {
                b.Printer = index;
                b.StatusByte = VPSIM_DEFAULT_STATUS_BYTE;
                b.AnswerStatusRequest = 1;
            }
            if (step.action == scn::PrinterAction::Slow) b.WriteDelay = step.value * 10000; /* 100 ns units */
            if (step.action == scn::PrinterAction::NeverAnswer) b.NeverAnswer = step.value;
            if (step.action == scn::PrinterAction::RefuseOpens) b.OpenStatus = step.status;
            status = control_.Call(IOCTL_VPSIM_SET_BEHAVIOUR, &b, sizeof(b));
            break;
        }
        }
        return Succeeded(status) || Fail(problem, "the printer refused the request: " + scn::Hex32(status));
    }

    void Collect(scn::StepRecord *rec)
    {
        std::vector<BYTE> out(64 * 1024);
        for (PortBed &bed : ports_) {
            std::vector<usbsim::Record> records;
            for (;;) {
                VPSIM_RECORD_QUERY query = {bed.printer, bed.recordsSeen + static_cast<ULONG>(records.size())};
                DWORD filled = 0;
                if (!Succeeded(control_.Call(IOCTL_VPSIM_GET_ENTRIES, &query, sizeof(query), out.data(),
                                              static_cast<DWORD>(out.size()), &filled)) ||
                    filled == 0 || !usbsim::DecodeEntries(out.data(), filled, &records))
                    break;
            }
            bed.recordsSeen += static_cast<ULONG>(records.size());
            for (const usbsim::Record &r : records)
                rec->printer.push_back(scn::FormatPrinterRecord(bed.port.name, r.entry, r.data));
        }
    }

    const scn::Scenario &scenario_;
    Control &control_;
    scn::ScenarioRecord &record_;
    std::vector<PortBed> ports_;
    std::map<std::string, HANDLE> files_;
    std::map<std::string, std::unique_ptr<Pending>> running_;
    std::map<ULONG, VPSIM_BEHAVIOUR> behaviour_;
    std::vector<std::pair<HANDLE, std::unique_ptr<Later>>> later_;
};

std::string Narrow(const wchar_t *text)
{
    std::string out;
    for (; *text != 0; text++) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    return out;
}

} // namespace

int RunScenarios(const wchar_t *outPath, int count, wchar_t **files)
{
    Control control;
    if (!control.Open()) {
        fwprintf(stderr, L"vptest: the simulated printer's control device does not open (%lu)\n", GetLastError());
        return 1;
    }
    std::vector<std::string> paths;
    for (int i = 0; i < count; i++) paths.push_back(Narrow(files[i]));
    return scn::RunFiles(paths, Narrow(outPath),
                         [&](const scn::Scenario &scenario, scn::ScenarioRecord *record, std::string *problem) {
                             Run run(scenario, control, record);
                             bool ran = run.Execute(problem);
                             run.Finish();
                             return ran;
                         });
}
