// standin_runner.cpp - scenario-standin: runs scenarios on the kernel stand-in, on its virtual
// clock, and writes what each step showed (scenario.h).
//
//   scenario-standin OUT SCENARIO...
//
// For each scenario a kernel of its own loads the driver; each port gets the printer driver's
// printer, the link values and a root-enumerated device started as the Plug and Play manager
// starts it. The application's requests go through the I/O manager from the runner's thread, as
// from an application's. After each step the runner lets every thread run to its next wait without
// moving time, then takes the step's record: the application's result, the printers' new records
// and the driver's debug messages. A request is waited for in steps of 1 ms of virtual time.
//
// Exit status: 0 when every scenario ran with a clean verifier, 1 otherwise (with the reasons on
// standard error), 2 for bad arguments or an unreadable file (scenario::RunFiles).
#include "tests/scenarios/scenario.h"

#include "driver/vparallel.h"
#include "tests/printer/printer_client.h"

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>

namespace {

using ksim::u16;

struct PortBed {
    scn::Port port;
    std::unique_ptr<usbsim::SimPrinter> printer;
    std::unique_ptr<ksim::Pdo> pdo;
    size_t records_seen = 0;
    std::vector<std::unique_ptr<ksim::ParticipantThread>> later;  // unplug-in: the test bed's own thread
};

scn::AppResult ResultOf(const ksim::IoResult &r)
{
    scn::AppResult result;
    result.status = static_cast<uint32_t>(r.status);
    result.information = r.information;
    result.data = r.data;
    return result;
}

// Lets time pass 1 ms at a time until the request ends or `ms` have passed.
scn::AppResult AwaitFor(ksim::PendingIo &io, uint32_t ms)
{
    for (uint32_t waited = 0; waited < ms && !io.Done(); waited++) ksim::AdvanceMs(1);
    ksim::Settle();
    if (!io.Done()) {
        scn::AppResult pending;
        pending.pending = true;
        return pending;
    }
    return ResultOf(io.Wait());
}

class Run {
public:
    Run(const scn::Scenario &scenario, scn::ScenarioRecord *record) : scenario_(scenario), record_(*record) {}

    // False with *problem when the scenario could not be run as written.
    bool Execute(std::string *problem)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        if (!driver_) return Fail(problem, "the driver did not load");
        for (const scn::Port &p : scenario_.ports) {
            if (!AddPort(p)) return Fail(problem, "port " + p.name + " did not start");
        }
        ksim::Settle();
        ksim::ClearDebugLog();
        for (size_t i = 0; i < scenario_.steps.size(); i++) {
            const scn::Step &step = scenario_.steps[i];
            scn::StepRecord rec;
            rec.index = static_cast<int>(i + 1);
            rec.text = step.text;
            if (!Perform(step, &rec, problem)) {
                *problem = "line " + std::to_string(step.line) + ": " + *problem;
                return false;
            }
            ksim::Settle();
            Collect(&rec);
            record_.steps.push_back(rec);
        }
        return true;
    }

    // Ends what the scenario left: its requests are cancelled, its handles closed, its ports removed.
    void Finish()
    {
        for (auto &[tag, io] : running_) {
            if (!io.Done()) io.Cancel();
            AwaitFor(io, 1000);
        }
        running_.clear();
        files_.clear();
        ksim::Settle();
        for (auto &bed : ports_) bed->later.clear();  // joined as kernel waits: time runs until they are done
        for (auto &bed : ports_) {
            if (!bed->pdo->Removed()) bed->pdo->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
            bed->pdo.reset();
            bed->printer.reset();
        }
        driver_.reset();
    }

private:
    static bool Fail(std::string *problem, const std::string &why)
    {
        *problem = why;
        return false;
    }

    bool AddPort(const scn::Port &p)
    {
        auto bed = std::make_unique<PortBed>();
        bed->port = p;
        usbsim::PrinterConfig config;
        config.linked_id = ksim::W(scn::LinkedId(p).c_str());
        config.hardware_id = ksim::W(scn::DevicePath(p).c_str());
        bed->printer = std::make_unique<usbsim::SimPrinter>(config);
        bed->printer->WriteLinkConfig(ksim::W(p.name.c_str()));
        char device[32];
        std::snprintf(device, sizeof device, "\\Device\\%08zu", ports_.size() + 2);
        bed->pdo = std::make_unique<ksim::Pdo>(ksim::W(device));
        ksim::reg::CreateKey(bed->pdo->HardwareKeyPath());
        ksim::reg::SetString(bed->pdo->HardwareKeyPath(), usbsim::FromWide(VP_PORT_NAME_VALUE), ksim::W(p.name.c_str()));
        bool started = NT_SUCCESS(bed->pdo->AddDevice(*driver_)) &&
                       NT_SUCCESS(bed->pdo->Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).status);
        ports_.push_back(std::move(bed));
        return started;
    }

    PortBed *Bed(const std::string &name)
    {
        for (auto &bed : ports_)
            if (bed->port.name == name) return bed.get();
        return nullptr;
    }

    ksim::PendingIo Send(ksim::AppFile &file, const scn::Request &r)
    {
        switch (r.kind) {
        case scn::RequestKind::Read:
            return file.ReadAsync(r.length);
        case scn::RequestKind::Write:
            return file.WriteAsync(r.input);
        case scn::RequestKind::Ioctl:
            break;
        }
        return file.IoctlAsync(r.code, r.input.data(), static_cast<ULONG>(r.input.size()), r.output);
    }

    bool Perform(const scn::Step &step, scn::StepRecord *rec, std::string *problem)
    {
        switch (step.op) {
        case scn::Op::Open: {
            std::unique_ptr<ksim::AppFile> file;
            scn::AppResult result;
            result.status = static_cast<uint32_t>(ksim::AppFile::Open(u"\\DosDevices\\" + ksim::W(step.port.c_str()), &file));
            rec->app.push_back(scn::FormatApp(result));
            if (file) files_[step.handle] = std::move(file);
            return true;
        }
        case scn::Op::Close: {
            auto it = files_.find(step.handle);
            if (it == files_.end()) return Fail(problem, "no open handle " + step.handle);
            it->second->Close();
            files_.erase(it);
            rec->app.push_back(scn::FormatApp({}));
            return true;
        }
        case scn::Op::Request:
        case scn::Op::Start: {
            auto it = files_.find(step.request.handle);
            if (it == files_.end()) return Fail(problem, "no open handle " + step.request.handle);
            ksim::PendingIo io = Send(*it->second, step.request);
            if (step.op == scn::Op::Request) {
                rec->app.push_back(scn::FormatApp(AwaitFor(io, 5000)));
                if (!io.Done()) running_["(line " + std::to_string(step.line) + ")"] = std::move(io);
                return true;
            }
            ksim::Settle();
            rec->app.push_back(scn::FormatApp(io.Done() ? ResultOf(io.Wait()) : scn::AppResult{true, 0, 0, {}}));
            running_[step.tag] = std::move(io);
            return true;
        }
        case scn::Op::Await:
        case scn::Op::Cancel: {
            auto it = running_.find(step.tag);
            if (it == running_.end()) return Fail(problem, "no request " + step.tag);
            if (step.op == scn::Op::Cancel) {
                it->second.Cancel();
                return true;
            }
            rec->app.push_back(scn::FormatApp(AwaitFor(it->second, step.ms)));
            return true;
        }
        case scn::Op::Printer:
            return PrinterAction(step, problem);
        case scn::Op::Wait:
            ksim::AdvanceMs(step.ms);
            return true;
        case scn::Op::SurpriseRemove:
        case scn::Op::Remove: {
            PortBed *bed = Bed(step.port);
            if (bed == nullptr) return Fail(problem, "no port " + step.port);
            bed->pdo->Send(IRP_MJ_PNP, step.op == scn::Op::Remove ? IRP_MN_REMOVE_DEVICE : IRP_MN_SURPRISE_REMOVAL);
            return true;
        }
        }
        return Fail(problem, "unknown step");
    }

    bool PrinterAction(const scn::Step &step, std::string *problem)
    {
        PortBed *bed = Bed(step.port);
        if (bed == nullptr) return Fail(problem, "no port " + step.port);
        usbsim::SimPrinter &printer = *bed->printer;
        switch (step.action) {
        case scn::PrinterAction::Reply: printer.QueueReply(step.bytes); break;
        case scn::PrinterAction::Unplug: printer.Unplug(); break;
        case scn::PrinterAction::Plug: printer.Plug(); break;
        case scn::PrinterAction::UnplugIn: {
            int64_t ticks = int64_t(step.value) * ksim::kTicksPerMs;
            bed->later.push_back(std::make_unique<ksim::ParticipantThread>([&printer, ticks] {
                LARGE_INTEGER delay;
                delay.QuadPart = -ticks;
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                printer.Unplug();
            }));
            break;
        }
        case scn::PrinterAction::Slow: printer.SetWriteDelay(int64_t(step.value) * ksim::kTicksPerMs); break;
        case scn::PrinterAction::NeverAnswer: printer.SetNeverAnswer(step.value != 0); break;
        case scn::PrinterAction::RefuseOpens: printer.FailOpens(step.status); break;
        case scn::PrinterAction::FailWrite: printer.FailWrite(step.value, step.status); break;
        }
        return true;
    }

    void Collect(scn::StepRecord *rec)
    {
        for (auto &bed : ports_) {
            std::vector<usbsim::Record> records = bed->printer->Records();
            for (size_t i = bed->records_seen; i < records.size(); i++)
                rec->printer.push_back(scn::FormatPrinterRecord(bed->port.name, records[i].entry, records[i].data));
            bed->records_seen = records.size();
        }
        for (const std::string &message : ksim::DebugLog()) rec->dbg.push_back(scn::DebugLine(message));
        ksim::ClearDebugLog();
    }

    const scn::Scenario &scenario_;
    scn::ScenarioRecord &record_;
    std::unique_ptr<ksim::Driver> driver_;
    std::vector<std::unique_ptr<PortBed>> ports_;
    std::map<std::string, std::unique_ptr<ksim::AppFile>> files_;
    std::map<std::string, ksim::PendingIo> running_;
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::cerr << "usage: scenario-standin OUT SCENARIO...\n";
        return 2;
    }
    auto run = [](const scn::Scenario &scenario, scn::ScenarioRecord *record, std::string *problem) {
        bool ran;
        {
            ksim::Kernel kernel;
            Run steps(scenario, record);
            ran = steps.Execute(problem);
            steps.Finish();
            ksim::CheckLeaks();
        }
        for (const ksim::Violation &v : ksim::Violations()) {
            *problem += (problem->empty() ? "" : "; ") + std::string("verifier: ") + v.rule + ": " + v.detail;
            ran = false;
        }
        return ran;
    };
    return scn::RunFiles(std::vector<std::string>(argv + 2, argv + argc), argv[1], run);
}
