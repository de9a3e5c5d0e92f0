// Print throughput: a 1 MiB job through VPARALLEL_Write to the simulated printer, beside the same
// bytes written straight to the printer by the benchmark thread, in 64-byte ZwWriteFile pieces
// (what the driver's design costs at best) and in one write (the device's own limit). All three
// are timed in every iteration; the driver's time is the benchmark's, the limits are counters.
#include "port_bench.h"

namespace {

constexpr size_t kJob = size_t(1) << 20;
constexpr size_t kPiece = 64;

NTSTATUS OpenPrinter(const ksim::u16 &path, HANDLE *handle)
{
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(path.data()));
    name.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK io;
    return ZwCreateFile(handle, SYNCHRONIZE | FILE_WRITE_DATA, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
}

// Opens the printer, writes the job in pieces of `piece` bytes, closes. Seconds taken, or -1.
double WriteDirect(const ksim::u16 &path, std::vector<uint8_t> &job, size_t piece)
{
    auto t0 = portbench::Clock::now();
    HANDLE handle = NULL;
    if (!NT_SUCCESS(OpenPrinter(path, &handle))) return -1;
    IO_STATUS_BLOCK io;
    NTSTATUS status = STATUS_SUCCESS;
    for (size_t at = 0; at < job.size() && NT_SUCCESS(status); at += piece) {
        ULONG n = ULONG(std::min(piece, job.size() - at));
        status = ZwWriteFile(handle, NULL, NULL, NULL, &io, job.data() + at, n, NULL, NULL);
    }
    ZwClose(handle);
    return NT_SUCCESS(status) ? portbench::Seconds(portbench::Clock::now() - t0) : -1;
}

void BM_PrintThroughput(benchmark::State &state)
{
    std::vector<uint8_t> job(kJob);
    for (size_t i = 0; i < job.size(); i++) job[i] = uint8_t(i * 7 + 3);
    double driver_s = 0, pieces_s = 0, one_s = 0, quiet_s = 0;
    {
        portbench::Rig rig(1);
        // The same 64-byte pieces before the port is opened, when no worker thread waits in the
        // kernel: how much of the limit's cost is the waiting threads being woken.
        if (rig.Ok()) {
            for (int i = 0; i < 5; i++) {
                rig.Port(0).printer->ClearRecords();
                double s = WriteDirect(rig.Port(0).printer->HardwareId(), job, kPiece);
                if (s > 0) quiet_s += s;
            }
            rig.Port(0).printer->ClearRecords();
        }
        if (!rig.Ok() || !rig.OpenAll()) {
            state.SkipWithError("the port did not come up");
            return;
        }
        vpsim::SimPort &port = rig.Port(0);
        const ksim::u16 path = port.printer->HardwareId();
        for (auto _ : state) {
            port.printer->ClearRecords();
            auto t0 = portbench::Clock::now();
            auto result = port.file->Write(job);
            double through_driver = portbench::Seconds(portbench::Clock::now() - t0);
            if (result.status != STATUS_SUCCESS || result.information != kJob) {
                state.SkipWithError("the driver's write failed");
                break;
            }
            port.printer->ClearRecords();
            double in_pieces = WriteDirect(path, job, kPiece);
            port.printer->ClearRecords();
            double in_one = WriteDirect(path, job, kJob);
            if (in_pieces < 0 || in_one < 0) {
                state.SkipWithError("a direct write failed");
                break;
            }
            state.SetIterationTime(through_driver);
            driver_s += through_driver;
            pieces_s += in_pieces;
            one_s += in_one;
        }
    }
    const double n = double(state.iterations());
    const double mib = double(kJob) / double(1 << 20);
    if (driver_s > 0 && pieces_s > 0 && one_s > 0) {
        state.counters["driver_MiB/s"] = mib * n / driver_s;
        state.counters["limit64_MiB/s"] = mib * n / pieces_s;
        state.counters["limit1_MiB/s"] = mib * n / one_s;
        state.counters["driver/limit64"] = pieces_s / driver_s;
        state.counters["driver/limit1"] = one_s / driver_s;
        state.counters["limit64_closed_port_MiB/s"] = quiet_s > 0 ? mib * 5 / quiet_s : 0;
    }
    state.SetBytesProcessed(int64_t(n) * int64_t(kJob));
    portbench::ReportViolations(state);
}
BENCHMARK(BM_PrintThroughput)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
