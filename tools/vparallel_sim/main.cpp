// vparallel-sim: runs the vparallel driver on the simulated kernel in real time, as Windows would,
// and prints one print job from the driver's load to its unload. See UsageText for the options.
#include "demo_options.h"
#include "report.h"
#include "sample_receipt.h"
#include "scenario.h"

#include <ksim/ksim.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <unistd.h>

namespace {

// Long jobs report their progress: on a terminal in place, otherwise every tenth.
class Progress {
public:
    explicit Progress(size_t job_bytes) : shown_(job_bytes > 4 * vpsim::kJobChunk), tty_(isatty(STDOUT_FILENO) != 0) {}

    void Update(const std::string &port, size_t done, size_t total)
    {
        if (!shown_ || total == 0) return;
        const int percent = static_cast<int>(done * 100 / total);
        if (!tty_ && percent / 10 == last_ / 10 && done != total) return;
        last_ = percent;
        std::printf("%s      printing on %s: %3d%% (%zu of %zu KiB)%s", tty_ ? "\r" : "", port.c_str(), percent,
                    done >> 10, total >> 10, tty_ && done != total ? "" : "\n");
        std::fflush(stdout);
        if (done == total) last_ = -10;
    }

private:
    bool shown_;
    bool tty_;
    int last_ = -10;
};

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    vpsim::ParseOutcome parsed = vpsim::ParseArguments(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "vparallel-sim: %s\nTry 'vparallel-sim --help'.\n", parsed.error.c_str());
        return 2;
    }
    const vpsim::DemoOptions &options = parsed.options;
    if (options.help) {
        std::fputs(vpsim::UsageText().c_str(), stdout);
        return 0;
    }

    std::vector<uint8_t> job;
    std::string what;
    if (options.job_file.empty()) {
        job = vpsim::SampleReceipt();
        what = "the built-in sample receipt";
    } else {
        std::string error;
        if (!vpsim::LoadJobFile(options.job_file, &job, &error)) {
            std::fprintf(stderr, "vparallel-sim: %s\n", error.c_str());
            return 2;
        }
        what = "'" + options.job_file + "'";
    }

    std::printf("vparallel-sim: %s (%zu bytes) to %d port(s) from %s, model-class-%d printer, real-time kernel clock\n\n",
                what.c_str(), job.size(), options.ports, options.port_name.c_str(), options.model_class);
    std::fflush(stdout);

    vpsim::Account account;
    try {
        ksim::Options kernel_options;
        kernel_options.clock = ksim::ClockMode::RealTime;
        kernel_options.echo_debug = options.echo_debug;
        ksim::Kernel kernel(kernel_options);
        Progress progress(job.size());
        size_t number = 0;
        vpsim::ScenarioHooks hooks;
        hooks.on_step = [&](const vpsim::Step &step) { vpsim::PrintStep(std::cout, ++number, step); };
        hooks.on_progress = [&](const std::string &port, size_t done, size_t total) { progress.Update(port, done, total); };
        account = vpsim::RunScenario(options, job, hooks);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vparallel-sim: the simulated kernel failed: %s\n", e.what());
        return 1;
    }
    // The kernel's teardown checks for leaks; its findings stay readable after it has gone.
    const auto violations = ksim::Violations();
    vpsim::PrintSummary(std::cout, account, violations, true);
    return account.StepsOk() && violations.empty() ? 0 : 1;
}
