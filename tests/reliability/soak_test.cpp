// A seeded randomized run over several ports: on each port an application thread opens, closes,
// writes, reads, waits for events and asks serial questions, while a second thread purges and
// cancels under it; the printers answer at random moments, are unplugged and plugged back, and
// ports are surprise-removed and added again.
//
// Bytes are tokens of four: a marker (0x80 | port) and a 21-bit sequence number in three 7-bit
// bytes, so any stream can be cut back into tokens and each token names its port and place.
// Checked throughout and at the end:
//  - every request completes exactly once (the verifier reports a second completion; each
//    request the threads issue is waited for);
//  - every write that succeeded reached its own printer whole and after the port's earlier
//    successful writes, and no printer sees another port's bytes;
//  - the replies a port's reads return are its own, each at most once and in order; in a quiet
//    drain at the end, every reply sent then arrives exactly once;
//  - nothing is left at the end: no threads, handles, pool, links or verifier findings.
//
// VP_SOAK_SEEDS (comma-separated) and VP_SOAK_MS (virtual milliseconds per seed) make a longer run;
// each seed is a test of its own. VP_SOAK_REQUESTS instead runs each seed until its threads have
// issued that many requests (VP_SOAK_MS then only bounds it), printing its progress to stderr; the
// first broken invariant ends the run with the virtual millisecond and request count it came at.
// tools/soak.sh runs seeds in turn up to a total (./run soak N).
#include "common/kernel_test.h"
#include "driver/vparallel.h"
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using ksim::u16;

namespace {

constexpr int kPorts = 2;

uint8_t Marker(int port) { return uint8_t(0x80 | port); }

void AppendToken(std::vector<uint8_t> &out, int port, uint32_t seq)
{
    out.push_back(Marker(port));
    out.push_back(uint8_t((seq >> 14) & 0x7F));
    out.push_back(uint8_t((seq >> 7) & 0x7F));
    out.push_back(uint8_t(seq & 0x7F));
}

// A stream cut into tokens: whole ones with their sequence numbers, and how many were cut short
// (a purge or a removal may drop the rest of a reply that a read had begun to take).
struct Parsed {
    std::vector<uint32_t> seqs;
    size_t partial = 0;
    size_t foreign = 0;  // markers of another port
};

Parsed Parse(const std::vector<uint8_t> &bytes, int port)
{
    Parsed p;
    size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] < 0x80) {  // the tail of a token whose head went
            p.partial++;
            while (i < bytes.size() && bytes[i] < 0x80) i++;
            continue;
        }
        if (bytes[i] != Marker(port)) p.foreign++;
        if (i + 3 < bytes.size() && bytes[i + 1] < 0x80 && bytes[i + 2] < 0x80 && bytes[i + 3] < 0x80) {
            p.seqs.push_back(uint32_t(bytes[i + 1]) << 14 | uint32_t(bytes[i + 2]) << 7 | bytes[i + 3]);
            i += 4;
        } else {
            p.partial++;
            i++;
        }
    }
    return p;
}

void Delay(int ms)
{
    LARGE_INTEGER delay;
    delay.QuadPart = VP_RELATIVE_MS(ms);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// Runs fn on an application thread; Join waits for it as a kernel wait would. The constructor
// returns once the thread counts as a participant: until then the clock would run on without it.
class AppThread {
public:
    explicit AppThread(std::function<void()> fn)
        : thread_([this, fn = std::move(fn)] {
              ksim::Participant participant;
              registered_ = true;
              fn();
              done_ = true;
          })
    {
        while (!registered_) std::this_thread::yield();
    }
    ~AppThread() { Join(); }
    void Join()
    {
        if (!thread_.joinable()) return;
        ksim::WaitUntil([this] { return done_.load(); });
        thread_.join();
    }

private:
    std::atomic<bool> registered_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// One port and its printer. The host mutex guards only short sections: a thread blocked on it is
// not in a kernel wait, so it must never be held across anything that waits for the clock.
struct SoakPort {
    int index = 0;
    u16 name;
    std::unique_ptr<usbsim::SimPrinter> printer;
    std::unique_ptr<ksim::Pdo> pdo;  // the controller's; replaced after a removal

    std::mutex m;
    bool present = false;  // started and not surprise-removed
    u16 device_name;       // the PDO's name while present
    bool opening = false;
    std::unique_ptr<ksim::AppFile> file;
    bool closing = false;
    int meddlers = 0;                 // threads inside an operation on `file`
    std::set<ksim::PendingIo *> outstanding;  // the owner's waiting requests, for cancels

    // Owner thread only (read after it has been joined).
    std::vector<std::vector<uint8_t>> successful_writes;
    std::vector<uint8_t> received;
    // Controller only.
    uint32_t next_reply_seq = 1;
    uint32_t next_write_seq = 1;  // owner only
    bool plugged = true;
    int gone_until_ms = -1;  // surprise-removed; added back at this time
};

struct Counters {
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> completed{0};
    std::atomic<uint64_t> cancelled{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<uint64_t> refused_opens{0};
    uint64_t surprise_removals = 0;
    uint64_t unplugs = 0;
    uint64_t replies = 0;
};

class SoakRun {
public:
    SoakRun(uint32_t seed, int duration_ms, uint64_t request_budget)
        : seed_(seed), duration_ms_(duration_ms), request_budget_(request_budget)
    {
    }

    void Run()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        for (int p = 0; p < kPorts; p++) {
            auto port = std::make_unique<SoakPort>();
            port->index = p;
            port->name = u"LPT" + ksim::W(std::to_string(3 + p).c_str());
            usbsim::PrinterConfig config;
            const std::string n = std::to_string(p + 1);
            config.linked_id = u"##?#USB#Vid_1504&Pid_0002#PRN000" + ksim::W(n.c_str()) + u"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
            config.hardware_id = u"\\??\\USB#PRINTER" + ksim::W(n.c_str()) + u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
            port->printer = std::make_unique<usbsim::SimPrinter>(config);
            port->printer->WriteLinkConfig(port->name);
            ports_.push_back(std::move(port));
            AddBack(*ports_.back());
        }

        std::vector<std::unique_ptr<AppThread>> threads;
        for (auto &port : ports_) {
            SoakPort *p = port.get();
            threads.push_back(std::make_unique<AppThread>([this, p] { Owner(*p); }));
            threads.push_back(std::make_unique<AppThread>([this, p] { Meddler(*p); }));
        }
        Control();
        stop_ = true;
        for (auto &t : threads) t->Join();
        threads.clear();
        if (::testing::Test::HasFatalFailure()) return;

        for (auto &port : ports_) Drain(*port);
        for (auto &port : ports_) CheckPort(*port);
        for (auto &port : ports_) Remove(*port);
        ports_.clear();
        driver_.reset();
        EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
        EXPECT_TRUE(ksim::OutstandingPool().empty());
        auto leaks = ksim::CheckLeaks();
        EXPECT_TRUE(leaks.empty()) << ViolationsText(leaks);
        EXPECT_EQ(counters_.completed.load(), counters_.requests.load()) << "a request never completed";
    }

    const Counters &Figures() const { return counters_; }

private:
    // ---- Plug and Play, from the controller ------------------------------------------------
    void AddBack(SoakPort &port)
    {
        const u16 device = u"\\Device\\SOAK" + ksim::W(std::to_string(next_device_++).c_str());
        port.pdo = std::make_unique<ksim::Pdo>(device);
        ksim::reg::CreateKey(port.pdo->HardwareKeyPath());
        ksim::reg::SetString(port.pdo->HardwareKeyPath(), u"PortName", port.name);
        ASSERT_EQ(port.pdo->AddDevice(*driver_), STATUS_SUCCESS);
        ASSERT_EQ(port.pdo->Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        std::lock_guard<std::mutex> guard(port.m);
        port.device_name = device;
        port.present = true;
    }

    // Surprise removal, then the removal once the application has let go of the port.
    void SurpriseRemove(SoakPort &port)
    {
        {
            std::lock_guard<std::mutex> guard(port.m);
            port.present = false;
        }
        EXPECT_EQ(port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
        int ms = 0;
        for (; ms < 5000; ms++) {
            {
                std::lock_guard<std::mutex> guard(port.m);
                if (!port.opening && !port.file && port.meddlers == 0) break;
            }
            ksim::AdvanceMs(1);
        }
        ASSERT_LT(ms, 5000) << port.index << ": the application never let go of the removed port";
        EXPECT_EQ(port.pdo->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
        port.pdo.reset();
        counters_.surprise_removals++;
    }

    void Remove(SoakPort &port)
    {
        if (!port.pdo) return;
        EXPECT_EQ(port.pdo->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
        port.pdo.reset();
        EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\" + port.name));
        EXPECT_EQ(port.printer->OpenFiles(), 0u);
    }

    // ---- The controller: replies, plugs and removals, one virtual millisecond at a time -------
    // The run ends at its duration, at its request budget, or at the first broken invariant,
    // which is reported with the step it came at so that the seed can be replayed up to it.
    bool Finished(int now)
    {
        const uint64_t requests = counters_.requests.load();
        if (::testing::Test::HasFailure()) {
            std::fprintf(stderr, "soak seed %u: invariant broken by virtual ms %d, after %llu requests; replay: "
                                 "VP_SOAK_SEEDS=%u VP_SOAK_MS=%d\n",
                         seed_, now, (unsigned long long)requests, seed_, now + 1);
            return true;
        }
        if (request_budget_ != 0) {
            if (now % 5000 == 0 && now != 0)
                std::fprintf(stderr, "soak seed %u: %d ms, %llu of %llu requests\n", seed_, now,
                             (unsigned long long)requests, (unsigned long long)request_budget_);
            return requests >= request_budget_ || now >= duration_ms_;
        }
        return now >= duration_ms_;
    }

    void Control()
    {
        std::mt19937 rng(seed_);
        for (int now = 0; !Finished(now); now++) {
            for (auto &port_ptr : ports_) {
                SoakPort &port = *port_ptr;
                if (rng() % 4 == 0) {
                    std::vector<uint8_t> reply;
                    for (int t = 1 + rng() % 8; t > 0; t--) AppendToken(reply, port.index, port.next_reply_seq++);
                    port.printer->QueueReply(reply);
                    counters_.replies++;
                }
                if (port.plugged && rng() % 500 == 0) {
                    port.printer->Unplug();
                    port.plugged = false;
                    counters_.unplugs++;
                } else if (!port.plugged && rng() % 40 == 0) {
                    port.printer->Plug();
                    port.plugged = true;
                }
                if (port.gone_until_ms < 0 && rng() % 900 == 0) {
                    SurpriseRemove(port);
                    if (::testing::Test::HasFatalFailure()) return;
                    port.gone_until_ms = now + 10 + int(rng() % 150);
                } else if (port.gone_until_ms >= 0 && now >= port.gone_until_ms) {
                    AddBack(port);
                    if (::testing::Test::HasFatalFailure()) return;
                    port.gone_until_ms = -1;
                }
            }
            ksim::AdvanceMs(1);
        }
        for (auto &port : ports_) {
            if (!port->plugged) port->printer->Plug();
            port->plugged = true;
        }
    }

    // ---- The application's main thread on a port ---------------------------------------------
    void Owner(SoakPort &port)
    {
        std::mt19937 rng(seed_ * 7919 + 17 * port.index + 1);
        while (!stop_) {
            bool present, have;
            {
                std::lock_guard<std::mutex> guard(port.m);
                present = port.present;
                have = port.file != nullptr;
            }
            if (!present || !have) {
                if (have) CloseFile(port);
                if (present && rng() % 3 == 0) OpenFile(port);
                Delay(1 + rng() % 5);
                continue;
            }
            ksim::AppFile &file = *port.file;  // only this thread replaces it
            const unsigned op = rng() % 12;
            if (std::getenv("VP_SOAK_VERBOSE"))
                std::printf("%lld port %d op %u\n", (long long)(ksim::Now() / ksim::kTicksPerMs), port.index, op);
            switch (op) {
            case 0: case 1: case 2:
                Write(port, file, rng);
                break;
            case 3: case 4: case 5: case 6:
                Read(port, file, rng);
                break;
            case 7:
                WaitForEvent(port, file, rng);
                break;
            case 8: case 9:
                Question(file, rng);
                break;
            case 10: {  // a second open while this one holds the port must be refused
                std::unique_ptr<ksim::AppFile> second;
                std::u16string device;
                {
                    std::lock_guard<std::mutex> guard(port.m);
                    device = port.device_name;
                }
                NTSTATUS status = ksim::AppFile::Open(device, &second);
                EXPECT_FALSE(NT_SUCCESS(status)) << "a second open of an open port succeeded";
                if (second) second->Close();
                counters_.refused_opens++;
                break;
            }
            case 11:
                if (rng() % 4 == 0) CloseFile(port);
                break;
            }
            Delay(rng() % 3);
        }
        bool have;
        {
            std::lock_guard<std::mutex> guard(port.m);
            have = port.file != nullptr;
        }
        if (have) CloseFile(port);
    }

    void OpenFile(SoakPort &port)
    {
        u16 device;
        {
            std::lock_guard<std::mutex> guard(port.m);
            if (!port.present) return;
            port.opening = true;
            device = port.device_name;
        }
        std::unique_ptr<ksim::AppFile> file;
        NTSTATUS status = ksim::AppFile::Open(device, &file);
        std::lock_guard<std::mutex> guard(port.m);
        port.opening = false;
        if (std::getenv("VP_SOAK_VERBOSE")) std::printf("%lld port %d open %08X\n", (long long)(ksim::Now() / ksim::kTicksPerMs), port.index, unsigned(status));
        if (NT_SUCCESS(status)) port.file = std::move(file);
    }

    void CloseFile(SoakPort &port)
    {
        {
            std::lock_guard<std::mutex> guard(port.m);
            port.closing = true;
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(port.m);
                if (port.meddlers == 0) break;
            }
            Delay(1);
        }
        port.file->Close();
        std::lock_guard<std::mutex> guard(port.m);
        port.file.reset();
        port.closing = false;
    }

    // Waits for a request for up to `ms`, cancels it if it is still waiting, and returns its end.
    ksim::IoResult Finish(SoakPort &port, ksim::PendingIo &io, int ms)
    {
        counters_.requests++;
        {
            std::lock_guard<std::mutex> guard(port.m);
            port.outstanding.insert(&io);
        }
        for (int waited = 0; waited < ms && !io.Done(); waited++) Delay(1);
        {
            std::lock_guard<std::mutex> guard(port.m);
            port.outstanding.erase(&io);
            if (!io.Done()) io.Cancel();
        }
        ksim::IoResult result = io.Wait();
        counters_.completed++;
        if (result.status == STATUS_CANCELLED) counters_.cancelled++;
        else if (!NT_SUCCESS(result.status)) counters_.failed++;
        EXPECT_NE(result.status, STATUS_PENDING);
        return result;
    }

    void Write(SoakPort &port, ksim::AppFile &file, std::mt19937 &rng)
    {
        std::vector<uint8_t> bytes;
        for (int t = 1 + rng() % 40; t > 0; t--) AppendToken(bytes, port.index, port.next_write_seq++);
        ksim::PendingIo io = file.WriteAsync(bytes);
        ksim::IoResult result = Finish(port, io, 1000);
        if (result.status == STATUS_SUCCESS) {
            EXPECT_EQ(result.information, bytes.size()) << "a write succeeded short";
            port.successful_writes.push_back(std::move(bytes));
        }
    }

    void Read(SoakPort &port, ksim::AppFile &file, std::mt19937 &rng)
    {
        if (rng() % 4 == 0) {
            SERIAL_TIMEOUTS timeouts{};
            timeouts.ReadIntervalTimeout = rng() % 2 ? MAXULONG : 0;
            timeouts.ReadTotalTimeoutConstant = rng() % 30;
            Request(file, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0);
        }
        ksim::PendingIo io = file.ReadAsync(1 + rng() % 200);
        ksim::IoResult result = Finish(port, io, int(rng() % 40));
        if (result.status == STATUS_SUCCESS) {
            EXPECT_EQ(result.data.size(), result.information);
            port.received.insert(port.received.end(), result.data.begin(), result.data.end());
        } else {
            EXPECT_EQ(result.information, 0u) << "a failed read reported bytes";
        }
    }

    void WaitForEvent(SoakPort &port, ksim::AppFile &file, std::mt19937 &rng)
    {
        ULONG mask = SERIAL_EV_RXCHAR;
        Request(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0);
        ksim::PendingIo io = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        Finish(port, io, int(rng() % 30));
    }

    void Question(ksim::AppFile &file, std::mt19937 &rng)
    {
        switch (rng() % 6) {
        case 0: Request(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(SERIAL_BAUD_RATE)); break;
        case 1: Request(file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, sizeof(ULONG)); break;
        case 2: Request(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS)); break;
        case 3: Request(file, IOCTL_SERIAL_SET_DTR, nullptr, 0, 0); break;
        case 4: Request(file, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, sizeof(SERIAL_COMMPROP)); break;
        case 5: {
            SERIAL_BAUD_RATE baud{9600};
            Request(file, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), 0);
            break;
        }
        }
    }

    ksim::IoResult Request(ksim::AppFile &file, ULONG code, const void *in, ULONG in_length, ULONG out_length)
    {
        counters_.requests++;
        ksim::IoResult result = file.Ioctl(code, in, in_length, out_length);
        counters_.completed++;
        EXPECT_NE(result.status, STATUS_PENDING);
        EXPECT_LE(result.information, out_length);
        if (!NT_SUCCESS(result.status)) counters_.failed++;
        return result;
    }

    // ---- The second thread on a port: purges, cancels and questions under the owner ------------
    void Meddler(SoakPort &port)
    {
        std::mt19937 rng(seed_ * 104729 + 31 * port.index + 2);
        while (!stop_) {
            Delay(1 + rng() % 6);
            ksim::AppFile *file = nullptr;
            {
                std::lock_guard<std::mutex> guard(port.m);
                if (!port.file || port.closing) continue;
                file = port.file.get();
                port.meddlers++;
            }
            switch (rng() % 4) {
            case 0: {
                ULONG what = SERIAL_PURGE_RXCLEAR | (rng() % 2 ? SERIAL_PURGE_RXABORT : 0);
                Request(*file, IOCTL_SERIAL_PURGE, &what, sizeof(what), 0);
                break;
            }
            case 1:
            case 2: {
                std::lock_guard<std::mutex> guard(port.m);
                if (!port.outstanding.empty()) {
                    auto it = port.outstanding.begin();
                    std::advance(it, rng() % port.outstanding.size());
                    (*it)->Cancel();
                }
                break;
            }
            case 3:
                Request(*file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
                break;
            }
            std::lock_guard<std::mutex> guard(port.m);
            port.meddlers--;
        }
    }

    // ---- The quiet end: every reply sent now must arrive, once, in order -----------------------
    void Drain(SoakPort &port)
    {
        if (!port.pdo) AddBack(port);
        ASSERT_TRUE(port.pdo);
        std::unique_ptr<ksim::AppFile> file;
        ASSERT_EQ(ksim::AppFile::Open(port.pdo->Name(), &file), STATUS_SUCCESS);
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXULONG;  // return at once with what the ring holds
        ASSERT_EQ(file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status, STATUS_SUCCESS);
        const uint32_t first = port.next_reply_seq;
        std::vector<uint8_t> reply;
        for (int t = 0; t < 50; t++) AppendToken(reply, port.index, port.next_reply_seq++);
        port.printer->QueueReply(reply);
        std::vector<uint8_t> got;
        for (int ms = 0; ms < 2000; ms++) {
            ksim::AdvanceMs(1);
            ksim::IoResult r = file->Read(4096);
            ASSERT_EQ(r.status, STATUS_SUCCESS);
            got.insert(got.end(), r.data.begin(), r.data.end());
            Parsed parsed = Parse(got, port.index);
            if (!parsed.seqs.empty() && parsed.seqs.back() == port.next_reply_seq - 1) break;
        }
        file->Close();
        port.received.insert(port.received.end(), got.begin(), got.end());
        // Replies held back from before may come first; the fresh ones must follow complete.
        Parsed parsed = Parse(got, port.index);
        std::vector<uint32_t> fresh;
        for (uint32_t s : parsed.seqs)
            if (s >= first) fresh.push_back(s);
        std::vector<uint32_t> expected;
        for (uint32_t s = first; s < port.next_reply_seq; s++) expected.push_back(s);
        EXPECT_EQ(fresh, expected) << "port " << port.index << ": the drain's replies did not arrive exactly once in order";
    }

    void CheckPort(SoakPort &port)
    {
        SCOPED_TRACE("port " + std::to_string(port.index));
        // Replies: own port only, each at most once, in order.
        Parsed parsed = Parse(port.received, port.index);
        EXPECT_EQ(parsed.foreign, 0u) << "another port's reply reached this one";
        for (size_t i = 1; i < parsed.seqs.size(); i++)
            ASSERT_LT(parsed.seqs[i - 1], parsed.seqs[i]) << "reply token " << parsed.seqs[i] << " repeated or out of order";
        received_tokens_ += parsed.seqs.size();
        sent_tokens_ += port.next_reply_seq - 1;

        // Writes: each successful one whole at its own printer, after the earlier ones.
        const std::vector<uint8_t> stream = port.printer->WrittenBytes();
        for (uint8_t b : stream) {
            if (b >= 0x80) {
                ASSERT_EQ(b, Marker(port.index)) << "another port's bytes reached this printer";
            }
        }
        auto from = stream.begin();
        for (size_t i = 0; i < port.successful_writes.size(); i++) {
            const auto &w = port.successful_writes[i];
            auto at = std::search(from, stream.end(), w.begin(), w.end());
            ASSERT_NE(at, stream.end()) << "successful write " << i << " of " << port.successful_writes.size()
                                        << " missing at the printer or out of order";
            from = at + w.size();
        }
        writes_ += port.successful_writes.size();
    }

    uint32_t seed_;
    int duration_ms_;
    uint64_t request_budget_;
    std::unique_ptr<ksim::Driver> driver_;
    std::vector<std::unique_ptr<SoakPort>> ports_;
    std::atomic<bool> stop_{false};
    int next_device_ = 1;
    Counters counters_;

public:
    uint64_t received_tokens_ = 0;
    uint64_t sent_tokens_ = 0;
    uint64_t writes_ = 0;
};

std::vector<uint32_t> Seeds()
{
    std::vector<uint32_t> seeds = {1, 2, 3};
    if (const char *text = std::getenv("VP_SOAK_SEEDS")) {
        seeds.clear();
        std::stringstream in(text);
        std::string item;
        while (std::getline(in, item, ','))
            if (!item.empty()) seeds.push_back(uint32_t(std::stoul(item)));
    }
    return seeds;
}

uint64_t RequestBudget()
{
    const char *text = std::getenv("VP_SOAK_REQUESTS");
    return text ? std::strtoull(text, nullptr, 10) : 0;
}

// With a request budget the duration is only a bound: at least a few requests a millisecond.
int DurationMs()
{
    const char *text = std::getenv("VP_SOAK_MS");
    if (text) return std::atoi(text);
    return RequestBudget() != 0 ? int(std::min<uint64_t>(RequestBudget(), 500000000)) : 1500;
}

class SoakTest : public KernelTest, public ::testing::WithParamInterface<uint32_t> {};

// One seed per test, each on a kernel of its own.
TEST_P(SoakTest, RandomTrafficPlugsAndRemovalsOnTwoPorts)
{
    const uint32_t seed = GetParam();
    SoakRun run(seed, DurationMs(), RequestBudget());
    run.Run();
    const Counters &c = run.Figures();
    std::printf("soak seed %u: %lld ms, %llu requests (%llu cancelled, %llu failed), %llu writes delivered, "
                "%llu replies, %llu of %llu reply tokens read, %llu unplugs, %llu surprise removals\n",
                seed, (long long)(ksim::Now() / ksim::kTicksPerMs), (unsigned long long)c.requests, (unsigned long long)c.cancelled,
                (unsigned long long)c.failed, (unsigned long long)run.writes_, (unsigned long long)c.replies,
                (unsigned long long)run.received_tokens_, (unsigned long long)run.sent_tokens_,
                (unsigned long long)c.unplugs, (unsigned long long)c.surprise_removals);
    if (HasFatalFailure()) return;
    // However the threads interleave, every seed gets traffic through to both sides.
    EXPECT_GT(c.requests.load(), 20u);
    EXPECT_GT(run.writes_, 0u);
    EXPECT_GT(run.received_tokens_, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SoakTest, ::testing::ValuesIn(Seeds()),
                         [](const ::testing::TestParamInfo<uint32_t> &info) { return "seed" + std::to_string(info.param); });

}  // namespace
