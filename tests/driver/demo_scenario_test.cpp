// The demo's print job on the virtual clock: every step of it, what the printer received and sent
// back, the account's figures, and a clean kernel afterwards - also when a step fails half-way.
#include "common/kernel_test.h"

#include <ntddser.h>

#include "report.h"
#include "sample_receipt.h"
#include "scenario.h"
#include "sim_port.h"

#include <algorithm>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace {

using vpsim::Account;
using vpsim::DemoOptions;

class DemoScenarioTest : public KernelTest {
protected:
    Account Run(const DemoOptions &options, const std::vector<uint8_t> &job, const vpsim::ScenarioHooks &hooks = {})
    {
        Account account = vpsim::RunScenario(options, job, hooks);
        for (const auto &step : account.steps) actions_.push_back(step.port + "|" + step.action);
        return account;
    }
    static size_t Count(const std::vector<std::string> &log, const std::string &message)
    {
        return std::count(log.begin(), log.end(), message);
    }
    static const vpsim::Step *FindStep(const Account &account, const std::string &port, const std::string &prefix)
    {
        for (const auto &s : account.steps)
            if (s.port == port && s.action.rfind(prefix, 0) == 0) return &s;
        return nullptr;
    }
    std::vector<std::string> actions_;
};

TEST_F(DemoScenarioTest, DefaultRunPrintsTheReceiptAndLeavesNothingBehind)
{
    const auto job = vpsim::SampleReceipt();
    Account account = Run(DemoOptions{}, job);

    ASSERT_TRUE(account.StepsOk());
    const std::vector<std::string> expected = {
        "|load the driver (DriverEntry)",
        "LPT3|AddDevice for \\Device\\00000002",
        "LPT3|start the device (IRP_MN_START_DEVICE)",
        "LPT3|link the port to a model-class-3 printer",
        "LPT3|open \\DosDevices\\LPT3",
        "LPT3|print the job (" + std::to_string(job.size()) + " bytes)",
        "LPT3|set 9600 baud, 8N1 and immediate reads; read them back",
        "LPT3|wait for a received character",
        "LPT3|ask for the printer's status and read the replies",
        "LPT3|close the port (cleanup, close)",
        "LPT3|surprise removal (IRP_MN_SURPRISE_REMOVAL)",
        "LPT3|remove the device (IRP_MN_REMOVE_DEVICE)",
        "|unload the driver (DriverUnload)",
    };
    EXPECT_EQ(actions_, expected);

    ASSERT_EQ(account.ports.size(), 1u);
    const auto &port = account.ports[0];
    // The job in 64-byte pieces, then the application's own status request, then the one cleanup
    // sends a class 3 printer to end the read thread's outstanding read.
    ASSERT_GE(port.write_sizes.size(), 3u);
    EXPECT_EQ(port.write_sizes[0].bytes, 64u);
    EXPECT_EQ(port.write_sizes[0].count, job.size() / 64);
    EXPECT_EQ(port.write_sizes[1].bytes, job.size() % 64);
    EXPECT_EQ(port.write_sizes[2].bytes, 3u);
    EXPECT_EQ(port.job_bytes_written, job.size());
    ASSERT_EQ(port.write_sizes.size(), 3u);
    EXPECT_EQ(port.write_sizes[2].count, 2u);
    EXPECT_EQ(port.status_requests, 2u);

    // The printer's report and its answer to the status request, in the order sent.
    std::vector<uint8_t> replies = vpsim::kPrinterReport;
    replies.push_back(0x12);
    EXPECT_EQ(port.received, replies);
    EXPECT_EQ(port.stats_transmitted, job.size() + vpsim::kStatusRequest.size());
    EXPECT_EQ(port.stats_received, replies.size());

    // The read thread polls every millisecond and so does the read-polling thread: the wait for a
    // received character is answered within two of them.
    EXPECT_EQ(port.event_mask, ULONG(SERIAL_EV_RXCHAR));
    EXPECT_GE(port.event_ms, 0.0);
    EXPECT_LE(port.event_ms, 2.0);

    // The driver's messages, in the order open and cleanup print them.
    const auto &log = account.debug_log;
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "VPARALLEL_Create Start \n");
    EXPECT_EQ(log.back(), "VPARALLEL_Cleanup End \n");
    for (const char *exit : {"pReadPollingFunction Exit\n", "pEmulationPollingFunction Exit\n", "pReadThreadFunction Exit\n"})
        EXPECT_EQ(Count(log, exit), 1u) << exit;

    EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\LPT3"));
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    EXPECT_TRUE(ksim::OutstandingPool().empty());
}

TEST_F(DemoScenarioTest, SeveralPortsOfAClassOnePrinterEachPrintTheJob)
{
    DemoOptions options;
    options.port_name = "LPT7";
    options.ports = 3;
    options.model_class = 1;
    const std::vector<uint8_t> job(200, 'x');
    Account account = Run(options, job);

    ASSERT_TRUE(account.StepsOk());
    ASSERT_EQ(account.ports.size(), 3u);
    const char *names[] = {"LPT7", "LPT8", "LPT9"};
    const char *pdos[] = {"\\Device\\00000002", "\\Device\\00000003", "\\Device\\00000004"};
    for (size_t i = 0; i < 3; i++) {
        const auto &port = account.ports[i];
        EXPECT_EQ(port.name, names[i]);
        EXPECT_EQ(port.pdo, pdos[i]);
        EXPECT_EQ(port.device_id, "Vid_0419&Pid_0001");
        EXPECT_EQ(port.job_bytes_written, job.size()) << names[i];
        EXPECT_EQ(vpsim::WriteSizesText(port.write_sizes), "3 x 64, 1 x 8, 1 x 3") << names[i];
        // A class 1 printer is never sent the cleanup's status request: only the application's.
        EXPECT_EQ(port.status_requests, 1u) << names[i];
        EXPECT_EQ(port.received.size(), 5u) << names[i];
        EXPECT_NE(FindStep(account, names[i], "open \\DosDevices\\"), nullptr) << names[i];
    }
    // All three were open at once: three opens, then three closes.
    EXPECT_EQ(Count(account.debug_log, "VPARALLEL_Create Start \n"), 3u);
    EXPECT_EQ(Count(account.debug_log, "VPARALLEL_Cleanup End \n"), 3u);
}

TEST_F(DemoScenarioTest, LongJobGoesInChunksAndReportsItsProgress)
{
    std::vector<uint8_t> job(300 * 1024 + 5);
    std::iota(job.begin(), job.end(), uint8_t(0));
    std::vector<size_t> progress;
    vpsim::ScenarioHooks hooks;
    hooks.on_progress = [&](const std::string &port, size_t done, size_t total) {
        EXPECT_EQ(port, "LPT3");
        EXPECT_EQ(total, job.size());
        progress.push_back(done);
    };
    Account account = Run(DemoOptions{}, job, hooks);

    ASSERT_TRUE(account.StepsOk());
    const std::vector<size_t> expected = {65536, 131072, 196608, 262144, job.size()};
    EXPECT_EQ(progress, expected);
    // Each chunk is a write request of its own; its pieces are 64 bytes but for the last.
    const auto &sizes = account.ports[0].write_sizes;
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(sizes[0].bytes, 64u);
    EXPECT_EQ(sizes[0].count, job.size() / 64);
    EXPECT_EQ(sizes[1].bytes, 5u);
}

// A failing step: the printer's path cannot be opened when the application opens the port. The
// steps that need an open port are skipped, and the device is still removed and the driver
// unloaded, so nothing is left for the verifier to find.
TEST_F(DemoScenarioTest, FailedOpenSkipsTheJobButStillTearsDown)
{
    vpsim::ScenarioHooks hooks;
    hooks.on_step = [](const vpsim::Step &step) {
        if (step.action.rfind("link the port", 0) == 0) ksim::InjectFault(ksim::Fault::FileOpen, STATUS_ACCESS_DENIED);
    };
    Account account = Run(DemoOptions{}, vpsim::SampleReceipt(), hooks);

    EXPECT_FALSE(account.StepsOk());
    const vpsim::Step *open = FindStep(account, "LPT3", "open ");
    ASSERT_NE(open, nullptr);
    EXPECT_FALSE(open->ok);
    EXPECT_EQ(open->status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(FindStep(account, "LPT3", "print the job"), nullptr);
    EXPECT_EQ(FindStep(account, "LPT3", "close the port"), nullptr);
    const vpsim::Step *removed = FindStep(account, "LPT3", "remove the device");
    ASSERT_NE(removed, nullptr);
    EXPECT_TRUE(removed->ok);
    EXPECT_EQ(actions_.back(), "|unload the driver (DriverUnload)");
    EXPECT_EQ(Count(account.debug_log, "VPARALLEL_Create CreateWriteHandle Error \n"), 1u);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);

    // The account says so.
    std::ostringstream text;
    vpsim::PrintStep(text, 5, *open);
    EXPECT_NE(text.str().find("FAILED"), std::string::npos);
    EXPECT_NE(text.str().find("0xC0000022"), std::string::npos) << text.str();
}

// The summary's verdict follows both the steps and the verifier.
TEST_F(DemoScenarioTest, SummaryReportsViolationsAsAFailure)
{
    Account account = Run(DemoOptions{}, {'a', '\n'});
    ASSERT_TRUE(account.StepsOk());
    std::ostringstream clean, dirty;
    vpsim::PrintSummary(clean, account, {}, false);
    vpsim::PrintSummary(dirty, account, {{"irp-completed-twice", "example"}}, false);
    EXPECT_NE(clean.str().find("Verifier: no violations\nResult: every step succeeded"), std::string::npos) << clean.str();
    EXPECT_NE(dirty.str().find("1 violation(s):\n  irp-completed-twice: example"), std::string::npos) << dirty.str();
    EXPECT_NE(dirty.str().find("Result: FAILED"), std::string::npos);
    EXPECT_NE(clean.str().find("bytes received: 5 (14 00 00 0F 12)"), std::string::npos) << clean.str();
}

}  // namespace
