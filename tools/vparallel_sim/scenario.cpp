// scenario.cpp - the print job, step by step, as Windows and an application would drive the
// driver: load, add and start each port, link it to its printer, open it by its DOS name, print,
// set and read back serial settings, wait for the printer's report, read the replies, close,
// surprise-remove, remove and unload.
#include "scenario.h"

#include "sim_port.h"

#include "driver/vparallel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vpsim {

const std::vector<uint8_t> kPrinterReport = {0x14, 0x00, 0x00, 0x0F};
const std::vector<uint8_t> kStatusRequest = {0x10, 0x04, 0x01};

namespace {

// Where each port got to, so that teardown undoes exactly what was done.
struct PortRun {
    std::unique_ptr<SimPort> port;
    PortAccount *account = nullptr;
    bool added = false;
    bool started = false;
    bool usable = false;  // every step so far went well
};

class Scenario {
public:
    Scenario(const DemoOptions &options, const std::vector<uint8_t> &job, const ScenarioHooks &hooks)
        : options_(options), job_(job), hooks_(hooks)
    {
    }

    Account Run()
    {
        const double start = NowMs();
        // Each port's run points at its entry in the account: no reallocation may move them.
        account_.ports.reserve(static_cast<size_t>(options_.ports));
        if (LoadDriver()) {
            for (int i = 0; i < options_.ports; i++) BringUp(i);
            for (auto &run : runs_) OpenPort(run);
            for (auto &run : runs_) UsePort(run);
            for (auto &run : runs_) ClosePort(run);
            for (auto &run : runs_) RemovePort(run);
            UnloadDriver();
        }
        runs_.clear();  // printers and PDOs go while the kernel still runs
        account_.debug_log = ksim::DebugLog();
        account_.total_ms = NowMs() - start;
        return std::move(account_);
    }

private:
    Step &Record(const std::string &port, const std::string &action, NTSTATUS status, bool ok, const std::string &detail,
                 double ms)
    {
        account_.steps.push_back(Step{port, action, status, ok, detail, ms});
        if (hooks_.on_step) hooks_.on_step(account_.steps.back());
        return account_.steps.back();
    }

    bool LoadDriver()
    {
        const double t0 = NowMs();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        const bool ok = driver_ != nullptr && NT_SUCCESS(status);
        Record("", "load the driver (DriverEntry)", status, ok,
               ok ? "dispatch routines and AddDevice registered" : "the driver refused to load", NowMs() - t0);
        return ok;
    }

    void BringUp(int index)
    {
        account_.ports.emplace_back();
        PortRun run;
        run.port = std::make_unique<SimPort>(NthPortName(options_.port_name, index), options_.model_class, index);
        SimPort &port = *run.port;
        PortAccount &acct = account_.ports.back();
        acct.name = port.name;
        acct.pdo = ksim::Narrow(port.pdo->Name());
        acct.device_id = DeviceIdOfClass(options_.model_class);
        acct.job_bytes = job_.size();

        double t0 = NowMs();
        NTSTATUS status = port.AddDevice(*driver_);
        run.added = NT_SUCCESS(status) && port.pdo->Top() != port.pdo->Object();
        Record(port.name, "AddDevice for " + acct.pdo, status, run.added,
               run.added ? "FDO attached above the PDO" : "no device was added", NowMs() - t0);

        if (run.added) {
            t0 = NowMs();
            status = port.Pnp(IRP_MN_START_DEVICE);
            auto target = ksim::SymbolicLinkTarget(port.DosName());
            run.started = NT_SUCCESS(status);
            const bool published = target.has_value() && *target == port.pdo->Name();
            Record(port.name, "start the device (IRP_MN_START_DEVICE)", status, run.started && published,
                   published ? "\\DosDevices\\" + port.name + " -> " + acct.pdo : "the port name was not published",
                   NowMs() - t0);
            run.usable = run.started && published;
        }
        if (run.usable) {
            port.Link();
            Record(port.name, "link the port to a model-class-" + std::to_string(options_.model_class) + " printer",
                   STATUS_SUCCESS, true, "USB " + acct.device_id + ", " + ksim::Narrow(port.printer->HardwareId()), 0);
        }
        run.account = &acct;
        runs_.push_back(std::move(run));
    }

    void OpenPort(PortRun &run)
    {
        if (!run.usable) return;
        SimPort &port = *run.port;
        const size_t threads = ksim::LiveSystemThreads();
        const double t0 = NowMs();
        NTSTATUS status = port.Open();
        run.account->open_ms = NowMs() - t0;
        run.usable = NT_SUCCESS(status) && port.file != nullptr;
        const size_t workers = ksim::LiveSystemThreads() - threads;
        Record(port.name, "open " + ksim::Narrow(port.DosName()), status, run.usable && workers == 3,
               run.usable ? std::to_string(workers) + " worker threads started" : "the open failed", run.account->open_ms);
        run.usable = run.usable && workers == 3;
    }

    void UsePort(PortRun &run)
    {
        if (run.usable) run.usable = PrintJob(run);
        if (run.usable) run.usable = SerialSettings(run);
        if (run.usable) run.usable = WaitForReport(run);
        if (run.usable) run.usable = ReadReplies(run);
    }

    bool PrintJob(PortRun &run)
    {
        SimPort &port = *run.port;
        PortAccount &acct = *run.account;
        port.printer->ClearRecords();
        NTSTATUS status = STATUS_SUCCESS;
        const double t0 = NowMs();
        for (size_t done = 0; done < job_.size() && NT_SUCCESS(status);) {
            const size_t n = std::min(kJobChunk, job_.size() - done);
            std::vector<uint8_t> chunk(job_.begin() + done, job_.begin() + done + n);
            auto result = port.file->Write(chunk);
            status = result.status;
            acct.job_bytes_written += result.information;
            done += n;
            if (hooks_.on_progress) hooks_.on_progress(port.name, acct.job_bytes_written, job_.size());
        }
        acct.job_ms = NowMs() - t0;
        const size_t writes = port.printer->Writes().size();
        const bool intact = port.printer->WrittenBytes() == job_;
        const bool ok = NT_SUCCESS(status) && acct.job_bytes_written == job_.size() && intact;
        std::string detail = std::to_string(acct.job_bytes_written) + " bytes written in " + std::to_string(writes) +
                             " device writes";
        detail += intact ? "; the printer received the job exactly" : "; the printer's bytes differ from the job";
        Record(port.name, "print the job (" + std::to_string(job_.size()) + " bytes)", status, ok, detail, acct.job_ms);
        return ok;
    }

    // Communication software sets the line up before it talks to the device and checks what it
    // set. The read time-outs chosen here make a read return at once with what has arrived.
    bool SerialSettings(PortRun &run)
    {
        SimPort &port = *run.port;
        const double t0 = NowMs();
        ULONG baud = 9600;
        SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
        SERIAL_TIMEOUTS timeouts = {MAXULONG, 0, 0, 0, 0};
        NTSTATUS status = port.file->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), 0).status;
        if (NT_SUCCESS(status)) status = port.file->Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), 0).status;
        if (NT_SUCCESS(status)) status = port.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status;

        ksim::IoResult got_baud, got_line, got_timeouts;
        if (NT_SUCCESS(status)) {
            got_baud = port.file->Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(ULONG));
            got_line = port.file->Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, sizeof(SERIAL_LINE_CONTROL));
            got_timeouts = port.file->Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS));
            for (NTSTATUS s : {got_baud.status, got_line.status, got_timeouts.status})
                if (!NT_SUCCESS(s)) status = s;
        }
        bool same = NT_SUCCESS(status) && got_baud.data.size() == sizeof(baud) &&
                    got_line.data.size() == sizeof(line) && got_timeouts.data.size() == sizeof(timeouts);
        if (same) {
            same = std::memcmp(got_baud.data.data(), &baud, sizeof(baud)) == 0 &&
                   std::memcmp(got_line.data.data(), &line, sizeof(line)) == 0 &&
                   std::memcmp(got_timeouts.data.data(), &timeouts, sizeof(timeouts)) == 0;
        }
        Record(port.name, "set 9600 baud, 8N1 and immediate reads; read them back", status, same,
               same ? "read back as set" : "the settings read back differ from those set", NowMs() - t0);
        return same;
    }

    // The application waits for a received character while the printer, done with the job, sends
    // its status report; the driver's read thread fetches it and a polling thread answers the wait.
    bool WaitForReport(PortRun &run)
    {
        SimPort &port = *run.port;
        PortAccount &acct = *run.account;
        ULONG mask = SERIAL_EV_RXCHAR;
        NTSTATUS status = port.file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0).status;
        if (!NT_SUCCESS(status)) {
            Record(port.name, "set the wait mask to SERIAL_EV_RXCHAR", status, false, "refused", 0);
            return false;
        }
        auto wait = port.file->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        const double t0 = NowMs();
        port.printer->QueueReply(kPrinterReport);
        auto result = WaitFor(wait, kReplyLimitMs);
        acct.event_ms = NowMs() - t0;
        if (result.data.size() == sizeof(ULONG)) std::memcpy(&acct.event_mask, result.data.data(), sizeof(ULONG));
        const bool ok = result.status == STATUS_SUCCESS && (acct.event_mask & SERIAL_EV_RXCHAR) != 0;
        char detail[96];
        std::snprintf(detail, sizeof(detail), "events 0x%X, %.2f ms after the printer's report", unsigned(acct.event_mask),
                      acct.event_ms);
        Record(port.name, "wait for a received character", result.status, ok,
               ok ? detail : "no SERIAL_EV_RXCHAR within " + std::to_string(kReplyLimitMs) + " ms", acct.event_ms);
        return ok;
    }

    // The application asks for the printer's status and reads everything the printer sent: its
    // report and the status byte.
    bool ReadReplies(PortRun &run)
    {
        SimPort &port = *run.port;
        PortAccount &acct = *run.account;
        const double t0 = NowMs();
        auto asked = port.file->Write(kStatusRequest);
        std::vector<uint8_t> expected = kPrinterReport;
        expected.push_back(PrinterConfigFor(port.model_class, 1).status_byte);
        NTSTATUS status = asked.status;
        const int64_t deadline = ksim::Now() + kReplyLimitMs * ksim::kTicksPerMs;
        while (NT_SUCCESS(status) && acct.received.size() < expected.size() && ksim::Now() < deadline) {
            auto got = port.file->Read(512);
            status = got.status;
            acct.received.insert(acct.received.end(), got.data.begin(), got.data.end());
            if (got.data.empty()) ksim::AdvanceMs(1);
        }
        auto stats = port.file->Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, sizeof(SERIALPERF_STATS));
        if (stats.status == STATUS_SUCCESS && stats.data.size() == sizeof(SERIALPERF_STATS)) {
            SERIALPERF_STATS s;
            std::memcpy(&s, stats.data.data(), sizeof(s));
            acct.stats_received = s.ReceivedCount;
            acct.stats_transmitted = s.TransmittedCount;
        }
        const bool ok = NT_SUCCESS(status) && acct.received == expected;
        std::string detail = std::to_string(acct.received.size()) + " bytes:";
        for (uint8_t b : acct.received) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), " %02X", b);
            detail += hex;
        }
        if (!ok) detail += " (expected " + std::to_string(expected.size()) + ")";
        Record(port.name, "ask for the printer's status and read the replies", status, ok, detail, NowMs() - t0);
        return ok;
    }

    void ClosePort(PortRun &run)
    {
        SimPort &port = *run.port;
        if (!port.file) return;
        // The application keeps the port a moment after its last reply, long enough for the read
        // thread to be back on the device: cleanup then has a read to end, and a class 3 printer
        // is sent the status request that ends it.
        ksim::AdvanceMs(kIdleBeforeCloseMs);
        const size_t threads = ksim::LiveSystemThreads();
        const size_t requests = port.printer->StatusRequests();
        const double t0 = NowMs();
        port.Close();
        run.account->close_ms = NowMs() - t0;
        const size_t stopped = threads - ksim::LiveSystemThreads();
        const bool asked = port.printer->StatusRequests() > requests;
        std::string detail = std::to_string(stopped) + " worker threads stopped";
        if (port.model_class == 3) detail += asked ? "; status request sent to the printer" : "; no status request sent";
        Record(port.name, "close the port (cleanup, close)", STATUS_SUCCESS, stopped == 3, detail, run.account->close_ms);
        SummariseWrites(run);
    }

    void SummariseWrites(PortRun &run)
    {
        PortAccount &acct = *run.account;
        auto writes = run.port->printer->Writes();
        acct.device_writes = writes.size();
        acct.status_requests = run.port->printer->StatusRequests();
        for (const auto &w : writes) {
            if (!acct.write_sizes.empty() && acct.write_sizes.back().bytes == w.length) {
                acct.write_sizes.back().count++;
            } else {
                acct.write_sizes.push_back({w.length, 1});
            }
        }
    }

    void RemovePort(PortRun &run)
    {
        SimPort &port = *run.port;
        if (!run.added) return;
        double t0 = NowMs();
        if (run.started) {
            NTSTATUS status = port.Pnp(IRP_MN_SURPRISE_REMOVAL);
            Record(port.name, "surprise removal (IRP_MN_SURPRISE_REMOVAL)", status, NT_SUCCESS(status),
                   "the port is shut off", NowMs() - t0);
        }
        t0 = NowMs();
        NTSTATUS status = port.Pnp(IRP_MN_REMOVE_DEVICE);
        const bool gone = !ksim::ObjectExists(port.DosName()) && port.pdo->Top() == port.pdo->Object();
        Record(port.name, "remove the device (IRP_MN_REMOVE_DEVICE)", status, NT_SUCCESS(status) && gone,
               gone ? "names withdrawn, FDO detached and deleted" : "the port's names or its FDO remain",
               NowMs() - t0);
    }

    void UnloadDriver()
    {
        const double t0 = NowMs();
        driver_->Unload();
        driver_.reset();
        Record("", "unload the driver (DriverUnload)", STATUS_SUCCESS, true, "", NowMs() - t0);
    }

    const DemoOptions &options_;
    const std::vector<uint8_t> &job_;
    const ScenarioHooks &hooks_;
    std::unique_ptr<ksim::Driver> driver_;
    std::vector<PortRun> runs_;
    Account account_;
};

}  // namespace

bool Account::StepsOk() const
{
    if (steps.empty()) return false;
    for (const auto &s : steps)
        if (!s.ok) return false;
    return true;
}

Account RunScenario(const DemoOptions &options, const std::vector<uint8_t> &job, const ScenarioHooks &hooks)
{
    Scenario scenario(options, job, hooks);
    return scenario.Run();
}

}  // namespace vpsim
