// One print job from driver load to unload, run once clean to count the fallible kernel calls it
// makes of each kind, then once for every one of those calls with that single call failing.
//
// Whatever fails, every request of the job must end (no request left pending), a request that
// reports success must have done its work (the job's bytes at the printer, the reply read back),
// the verifier must stay clean and the kernel must hold nothing of the driver's at the end.
#include "common/kernel_test.h"
#include "driver/vparallel.h"
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

using ksim::Fault;
using ksim::u16;

namespace {

struct FaultKind {
    Fault fault;
    const char *name;
    NTSTATUS status;  // what the failing call answers
};

const FaultKind kKinds[] = {
    {Fault::PoolAllocation, "pool allocation", STATUS_INSUFFICIENT_RESOURCES},
    {Fault::DeviceCreation, "device creation", STATUS_INSUFFICIENT_RESOURCES},
    {Fault::Attach, "attach", STATUS_NO_SUCH_DEVICE},
    {Fault::InterfaceRegistration, "interface registration", STATUS_INSUFFICIENT_RESOURCES},
    {Fault::ThreadCreation, "thread creation", STATUS_INSUFFICIENT_RESOURCES},
    {Fault::ObjectReference, "object reference", STATUS_INVALID_HANDLE},
    {Fault::RegistryOpen, "registry open", STATUS_OBJECT_NAME_NOT_FOUND},
    {Fault::RegistryQuery, "registry query", STATUS_OBJECT_NAME_NOT_FOUND},
    {Fault::FileOpen, "file open", STATUS_NO_SUCH_DEVICE},
    {Fault::FileRead, "file read", STATUS_DEVICE_NOT_CONNECTED},
    {Fault::FileWrite, "file write", STATUS_DEVICE_NOT_CONNECTED},
    {Fault::EventCreation, "event creation", STATUS_INSUFFICIENT_RESOURCES},
};

// One step of the job: what it was, how it ended, and the calls of the swept kind made by then.
struct Step {
    std::string name;
    NTSTATUS status;
    uint64_t calls_after;
};

class Job {
public:
    explicit Job(Fault counted) : counted_(counted) {}

    // Runs the whole job; a failed step skips what depends on it, never what releases. The
    // harness's own set-up (the printer, the bus's PDO) comes first, so that the calls counted and
    // failed are the ones the job's requests lead to.
    void Run(const FaultKind *inject, unsigned index)
    {
        printer_.WriteLinkConfig(u"LPT3");
        ksim::Pdo pdo(u"\\Device\\00000002");
        ksim::reg::CreateKey(pdo.HardwareKeyPath());
        ksim::reg::SetString(pdo.HardwareKeyPath(), u"PortName", u"LPT3");
        base_ = ksim::CallCount(counted_);
        if (inject) ksim::InjectFault(inject->fault, inject->status, index);

        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto driver = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        Record("DriverEntry", driver ? status : (NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status));
        if (driver) {
            status = pdo.AddDevice(*driver);
            Record("AddDevice", status);
        }
        if (driver && NT_SUCCESS(status)) {
            status = pdo.Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).status;
            Record("start", status);
            if (NT_SUCCESS(status)) {
                PrintAndClose(u"\\DosDevices\\LPT3", true);
                PrintAndClose(u"\\DosDevices\\LPT3:", false);
            }
            Record("surprise removal", pdo.Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL).status);
            ksim::AdvanceMs(20);
            Record("removal", pdo.Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status);
        }
        calls_ = ksim::CallCount(counted_) - base_;
        ksim::ClearFaults();
        driver.reset();
    }

    uint64_t Calls() const { return calls_; }
    const std::vector<Step> &Steps() const { return steps_; }
    const std::vector<std::string> &Problems() const { return problems_; }

private:
    void Record(const std::string &name, NTSTATUS status)
    {
        if (status == STATUS_PENDING) problems_.push_back(name + " left pending");
        steps_.push_back({name, status, ksim::CallCount(counted_) - base_});
    }

    // Opens the port, prints, (the first time) sets timeouts, reads a reply and asks a few serial
    // questions, then closes.
    void PrintAndClose(const u16 &name, bool full)
    {
        std::unique_ptr<ksim::AppFile> file;
        NTSTATUS status = ksim::AppFile::Open(name, &file);
        Record("open " + ksim::Narrow(name), status);
        if (!NT_SUCCESS(status)) return;
        ksim::Settle();

        std::vector<uint8_t> job(full ? 100 : 1);
        std::iota(job.begin(), job.end(), uint8_t(0x20));
        const size_t before = printer_.WrittenBytes().size();
        ksim::IoResult written = file->Write(job);
        Record("write", written.status);
        if (NT_SUCCESS(written.status)) {
            // Success means every byte reached the printer, in order.
            const auto bytes = printer_.WrittenBytes();
            if (written.information != job.size()) problems_.push_back("write succeeded short");
            if (std::search(bytes.begin() + before, bytes.end(), job.begin(), job.end()) == bytes.end())
                problems_.push_back("write succeeded but the printer lacks the job");
        }
        if (full) {
            SERIAL_TIMEOUTS timeouts{};
            timeouts.ReadTotalTimeoutConstant = 500;
            Record("set timeouts", file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status);
            ksim::PendingIo read = file->ReadAsync(64);
            ksim::Settle();
            const std::vector<uint8_t> reply = {0x10, 0x04, 0x12, 'O', 'K'};
            printer_.QueueReply(reply);
            // The read ends by the reply or by its 500 ms total timeout, whichever the port manages.
            for (int ms = 0; ms < 700 && !read.Done(); ms++) ksim::AdvanceMs(1);
            if (!read.Done()) {
                problems_.push_back("read still pending 700 ms after its 500 ms timeout");
                read.Cancel();
            }
            ksim::IoResult got = read.Wait();
            Record("read", got.status);
            if (got.status == STATUS_SUCCESS && !got.data.empty() && got.data != reply)
                problems_.push_back("read succeeded with bytes that are not the reply");
            ULONG mask = SERIAL_EV_RXCHAR;
            Record("set wait mask", file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0).status);
            Record("get baud rate", file->Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(SERIAL_BAUD_RATE)).status);
            Record("get modem status", file->Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, sizeof(ULONG)).status);
            Record("get comm status", file->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS)).status);
        }
        file->Close();
        file.reset();
        ksim::Settle();
        Record("close", STATUS_SUCCESS);
    }

    Fault counted_;
    uint64_t base_ = 0;
    uint64_t calls_ = 0;
    usbsim::SimPrinter printer_;
    std::vector<Step> steps_;
    std::vector<std::string> problems_;
};

// What one run left behind: verifier findings (leaks included) and the job's own problems.
struct RunResult {
    std::vector<Step> steps;
    std::vector<std::string> problems;
    uint64_t calls = 0;
};

RunResult RunJob(Fault counted, const FaultKind *inject, unsigned index)
{
    RunResult result;
    ksim::Kernel kernel;
    const size_t system_handles = ksim::HandleCount(ksim::Process::System);
    const size_t app_handles = ksim::HandleCount(ksim::Process::Application);
    {
        Job job(counted);
        job.Run(inject, index);
        ksim::Settle();
        result.steps = job.Steps();
        result.problems = job.Problems();
        result.calls = job.Calls();
    }
    if (ksim::LiveSystemThreads() != 0) result.problems.push_back("system threads still running");
    if (ksim::HandleCount(ksim::Process::System) != system_handles) result.problems.push_back("system handle leaked");
    if (ksim::HandleCount(ksim::Process::Application) != app_handles) result.problems.push_back("application handle leaked");
    for (const auto &block : ksim::OutstandingPool())
        result.problems.push_back("pool block " + ksim::TagText(block.tag) + " of " + std::to_string(block.size) + " bytes leaked");
    ksim::CheckLeaks();
    for (const auto &v : ksim::Violations()) result.problems.push_back("verifier: " + v.rule + ": " + v.detail);
    ksim::ClearViolations();
    return result;
}

std::string Describe(const RunResult &run)
{
    std::string text;
    for (const auto &s : run.steps) {
        char status[16];
        std::snprintf(status, sizeof status, "%08X", static_cast<unsigned>(s.status));
        text += "  " + s.name + " -> " + status + "\n";
    }
    for (const auto &p : run.problems) text += "  problem: " + p + "\n";
    return text;
}

// The clean job: every step succeeds, the reply is read back, nothing is left.
TEST(FaultSweepTest, TheCleanJobSucceedsThroughout)
{
    RunResult run = RunJob(Fault::PoolAllocation, nullptr, 0);
    EXPECT_TRUE(run.problems.empty()) << Describe(run);
    for (const auto &s : run.steps) EXPECT_EQ(s.status, STATUS_SUCCESS) << s.name;
    EXPECT_GT(run.steps.size(), 15u);
}

// Every call of every kind failed once, each in a run of its own.
TEST(FaultSweepTest, EveryFallibleCallFailedInTurnEndsCleanly)
{
    std::map<std::string, uint64_t> points;
    uint64_t total = 0;
    uint64_t missed = 0;
    for (const FaultKind &kind : kKinds) {
        const uint64_t calls = RunJob(kind.fault, nullptr, 0).calls;
        points[kind.name] = calls;
        total += calls;
        for (unsigned index = 0; index < calls; index++) {
            SCOPED_TRACE(std::string(kind.name) + " call " + std::to_string(index + 1) + " of " + std::to_string(calls));
            RunResult run = RunJob(kind.fault, &kind, index);
            // A run that made fewer calls of the kind than the clean one never met its fault (the
            // number of device writes and opens can differ by one between runs of threads).
            if (run.calls <= index) {
                missed++;
                continue;
            }
            // The step during which the call failed ended with a status of its own.
            auto hit = std::find_if(run.steps.begin(), run.steps.end(), [&](const Step &s) { return s.calls_after > index; });
            if (hit != run.steps.end()) {
                EXPECT_NE(hit->status, STATUS_PENDING) << hit->name;
            }
            EXPECT_TRUE(run.problems.empty()) << Describe(run);
            if (getenv("VP_SWEEP_VERBOSE")) std::printf("%s call %u:\n%s", kind.name, index + 1, Describe(run).c_str());
        }
    }
    std::string summary;
    for (const auto &[name, count] : points) summary += " " + name + "=" + std::to_string(count);
    std::printf("fault points: %llu (%s ), %llu not reached\n", static_cast<unsigned long long>(total), summary.c_str(),
                static_cast<unsigned long long>(missed));
    EXPECT_LE(missed * 10, total) << "more than a tenth of the faults were never reached";
    RecordProperty("fault_points", static_cast<int>(total));
    // The job opens a device, reads, writes, creates threads and events and reads the registry.
    for (const char *kind : {"device creation", "attach", "thread creation", "registry open", "registry query", "file open",
                             "file read", "file write", "event creation"})
        EXPECT_GT(points[kind], 0u) << kind;
}

}  // namespace
