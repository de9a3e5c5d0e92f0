// Reply latency: from the simulated printer answering a read to the application's waiting read
// completing. Through the driver the reply goes to the read thread's outstanding device read,
// into the receive ring, and the read thread wakes the read-polling thread, which hands it to the
// waiting read without waiting for its next poll (on a clock with a tick, its next tick).
// Beside it, in the same iterations, the floor of the stand-in: the same reply answering a read the
// benchmark thread has outstanding on a second printer of its own, with no driver in between. One reply per iteration; the benchmark's
// time is the driver path's mean, the counters its order statistics and the floor's.
#include "port_bench.h"

#include <random>
#include <thread>

namespace {

constexpr ULONG kReadLength = 512;
const std::vector<uint8_t> kReply = {0x14, 0x00, 0x00, 0x0F, 'r', 'e', 'p', 'l', 'y', 0x12, 0x0A, 0x0D, 1, 2, 3, 4};

// The benchmark thread's own asynchronous read handle on the printer, with an event to wait on.
class DirectReader {
public:
    explicit DirectReader(const ksim::u16 &path)
    {
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(path.data()));
        name.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, 0, NULL, NULL);
        IO_STATUS_BLOCK io;
        NTSTATUS status = ZwCreateFile(&file_, FILE_READ_DATA, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, NULL, 0);
        OBJECT_ATTRIBUTES event_attributes;
        InitializeObjectAttributes(&event_attributes, NULL, 0, NULL, NULL);
        if (NT_SUCCESS(status)) status = ZwCreateEvent(&event_handle_, EVENT_ALL_ACCESS, &event_attributes, NotificationEvent, FALSE);
        if (NT_SUCCESS(status))
            status = ObReferenceObjectByHandle(event_handle_, EVENT_ALL_ACCESS, *ExEventObjectType, KernelMode,
                                               reinterpret_cast<PVOID *>(&event_), NULL);
        ok_ = NT_SUCCESS(status);
    }
    ~DirectReader()
    {
        if (event_ != nullptr) ObDereferenceObject(event_);
        if (event_handle_ != NULL) ZwClose(event_handle_);
        if (file_ != NULL) ZwClose(file_);
    }
    bool Ok() const { return ok_; }
    // Issues the read; true when it is left waiting on the printer.
    bool Start()
    {
        LARGE_INTEGER offset;
        offset.QuadPart = 0;
        return ZwReadFile(file_, event_handle_, NULL, NULL, &io_, buffer_, kReadLength, &offset, NULL) == STATUS_PENDING;
    }
    ULONG_PTR Finish()
    {
        KeWaitForSingleObject(event_, Executive, KernelMode, FALSE, NULL);
        return io_.Information;
    }

private:
    HANDLE file_ = NULL;
    HANDLE event_handle_ = NULL;
    PKEVENT event_ = nullptr;
    IO_STATUS_BLOCK io_{};
    uint8_t buffer_[kReadLength];
    bool ok_ = false;
};

// Waits (in real time) until the read thread has its read outstanding on the printer.
bool DeviceReadOutstanding(vpsim::SimPort &port)
{
    auto limit = portbench::Clock::now() + std::chrono::milliseconds(200);
    while (port.printer->PendingReads() == 0) {
        if (portbench::Clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

void BM_ReplyLatency(benchmark::State &state)
{
    const int64_t tick_us = state.range(0);
    const double poll_ms = portbench::EffectiveMs(1.0, tick_us);
    std::vector<double> driver_ms, floor_ms;
    int late = 0;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> offset_us(0, int(poll_ms * 1000) - 1);
    {
        portbench::Rig rig(1, 3, tick_us);
        if (!rig.Ok() || !rig.OpenAll()) {
            state.SkipWithError("the port did not come up");
            return;
        }
        vpsim::SimPort &port = rig.Port(0);
        usbsim::SimPrinter own_printer(vpsim::PrinterConfigFor(3, 99));
        DirectReader direct(own_printer.HardwareId());
        if (!direct.Ok()) {
            state.SkipWithError("the printer could not be opened directly");
            return;
        }
        // Reads end at the first reply, or empty after a second (.NET's ReadTimeout does the same).
        SERIAL_TIMEOUTS timeouts = {MAXULONG, MAXULONG, 1000, 0, 0};
        if (port.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status != STATUS_SUCCESS) {
            state.SkipWithError("the time-outs were refused");
            return;
        }
        for (auto _ : state) {
            // Through the driver: the read thread's device read waits, then the application's read.
            if (!DeviceReadOutstanding(port)) {
                state.SkipWithError("the read thread put no read on the printer");
                break;
            }
            // A printer answers whenever it has something to say, not in step with the driver's
            // cycle: the reply comes at a random moment within the next poll period.
            std::this_thread::sleep_for(std::chrono::microseconds(offset_us(random)));
            auto read = port.file->ReadAsync(kReadLength);
            auto t0 = portbench::Clock::now();
            port.printer->QueueReply(kReply);
            auto result = read.Wait();
            double through_driver = portbench::Seconds(portbench::Clock::now() - t0);
            if (result.status == STATUS_SUCCESS && result.data.empty()) {
                // The read's second ran out before the reply reached the ring (a host that did not
                // schedule the workers for that long); the reply waits in the ring. Not a sample.
                late++;
                port.file->Read(kReadLength);
                state.SetIterationTime(through_driver);
                continue;
            }
            if (result.status != STATUS_SUCCESS || result.data != kReply) {
                state.SkipWithError("the reply did not arrive whole");
                break;
            }
            // The floor: the same reply to the benchmark thread's own read.
            if (!direct.Start()) {
                state.SkipWithError("the direct read did not wait");
                break;
            }
            auto t1 = portbench::Clock::now();
            own_printer.QueueReply(kReply);
            ULONG_PTR got = direct.Finish();
            double floor = portbench::Seconds(portbench::Clock::now() - t1);
            if (got != kReply.size()) {
                state.SkipWithError("the direct read lost bytes");
                break;
            }
            state.SetIterationTime(through_driver);
            driver_ms.push_back(through_driver * 1e3);
            floor_ms.push_back(floor * 1e3);
        }
    }
    state.counters["p50_ms"] = portbench::Percentile(driver_ms, 0.50);
    state.counters["p99_ms"] = portbench::Percentile(driver_ms, 0.99);
    state.counters["p90_ms"] = portbench::Percentile(driver_ms, 0.90);
    state.counters["max_ms"] = portbench::Percentile(driver_ms, 1.0);
    // The distribution in coarse bins, as shares of the replies.
    const double bins[] = {0.25, 0.5, 0.75, 1.0, 1.5, 2.0, 5.0, 10.0, 20.0};
    const char *names[] = {"<0.25ms", "<0.5ms", "<0.75ms", "<1ms", "<1.5ms", "<2ms", "<5ms", "<10ms", "<20ms"};
    for (size_t b = 0; b < sizeof(bins) / sizeof(bins[0]); b++) {
        double below = double(std::count_if(driver_ms.begin(), driver_ms.end(), [&](double v) { return v < bins[b]; }));
        state.counters[names[b]] = driver_ms.empty() ? 0 : below / double(driver_ms.size());
    }
    state.counters["poll_period_ms"] = poll_ms;
    state.counters["p50/poll_period"] = portbench::Percentile(driver_ms, 0.50) / poll_ms;
    state.counters["late_replies"] = late;
    // The limits this run is held to: a reply wakes the waiting read rather than waiting for a poll.
    state.counters["limit_p50_ms"] = 0.5;
    state.counters["limit_p99_ms"] = 2.0;
    state.counters["floor_p50_ms"] = portbench::Percentile(floor_ms, 0.50);
    state.counters["floor_p99_ms"] = portbench::Percentile(floor_ms, 0.99);
    portbench::ReportViolations(state);
}
BENCHMARK(BM_ReplyLatency)->ArgName("tick_us")->Arg(0)->Arg(1000)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplyLatency)->ArgName("tick_us")->Arg(15625)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace
