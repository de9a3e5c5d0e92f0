// kernel.cpp - the kernel's lifetime, the test API's clock and participants, text helpers.
//
// A Kernel brings every component up from a clean state, with the creating thread as the
// controller participant. Its destructor shuts the I/O manager down, checks for leaks, ends
// what is left of the system threads, shuts the registry down and resets every table. The
// verifier's list survives the destructor (so a test may inspect what teardown found) and is
// cleared when the next Kernel starts.
#include "core.h"

#include <atomic>
#include <stdexcept>
#include <thread>

namespace ksim {
namespace {
std::atomic<bool> g_active{false};
}

// ---- text helpers -----------------------------------------------------------------------------------

u16 W(const char *ascii)
{
    u16 out;
    for (const char *p = ascii; p != nullptr && *p != '\0'; ++p) out += static_cast<char16_t>(static_cast<unsigned char>(*p));
    return out;
}

std::string Narrow(const u16 &text)
{
    // UTF-8, so that messages and test output keep every character readable.
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

u16 FromWz(const WCHAR *s)
{
    if (s == nullptr) return u16();
    return u16(reinterpret_cast<const char16_t *>(s), ksim_wcslen(s));
}

u16 FromUnicodeString(const UNICODE_STRING &s) { return detail::FromCounted(&s); }

// ---- lifetime -----------------------------------------------------------------------------------------

Kernel::Kernel(Options options)
{
    if (g_active.exchange(true)) throw std::logic_error("ksim::Kernel: only one kernel may exist at a time");
    detail::ResetSupport();
    detail::SetSupportOptions(options);
    detail::KeReset(options.clock, options.clock_tick);
    detail::PsReset();
    detail::ObReset();
    detail::ExResetPool();
    detail::BindParticipant(detail::RegisterParticipant("controller"));
    detail::CmInitialize();
    detail::IoInitialize();
}

Kernel::~Kernel()
{
    detail::IoShutdown();
    CheckLeaks();
    detail::PsStopThreads();
    detail::IoRelease();
    detail::CmShutdown();
    detail::PsReset();
    detail::ObReset();
    detail::ExResetPool();
    detail::UnregisterParticipant();
    detail::KeReset(ClockMode::Virtual);
    g_active = false;
}

bool KernelActive() { return g_active; }

uint64_t CurrentKernel() { return g_active ? detail::KernelGeneration() : 0; }

std::vector<Violation> CheckLeaks()
{
    std::vector<Violation> found;
    if (!g_active) return found;
    if (size_t irps = detail::IoOutstandingIrps(); irps > 0) {
        found.push_back({"leak-irp", std::to_string(irps) + " request(s) allocated and never freed or completed"});
    }
    // The checking thread (the controller, which also ran the dispatch routines it sent)
    // must be back at PASSIVE_LEVEL with no spin lock held.
    if (KIRQL irql = detail::CurrentIrql(); irql != PASSIVE_LEVEL) {
        found.push_back({"irql-left-raised", "the checking thread is still at IRQL " + std::to_string(irql)});
    }
    if (size_t held = detail::HeldSpinLocks(); held > 0) {
        found.push_back({"spinlock-left-held", "the checking thread still holds " + std::to_string(held) + " spin lock(s)"});
    }
    detail::ExCheckLeaks(&found);
    detail::IoCheckLeaks(&found);
    detail::ObCheckLeaks(&found);
    detail::PsCheckLeaks(&found);
    for (const auto &leak : found) detail::RecordViolation(leak.rule, leak.detail);
    return found;
}

// ---- clock and participants ----------------------------------------------------------------------------

int64_t Now() { return detail::KeNow(); }

void Advance(int64_t ticks) { detail::KeAdvance(ticks); }

void Settle() { detail::KeSettle(); }

void WaitUntil(const std::function<bool()> &pred) { detail::KeWaitUntil(pred); }

namespace {
// A Participant made on a thread that already is one (the controller, or a nested scope)
// changes nothing; only the outermost one registers and unregisters.
thread_local int tl_nested_participants = 0;
}  // namespace

struct ParticipantThread::State {
    std::atomic<bool> done{false};
    std::thread thread;
};

ParticipantThread::ParticipantThread(std::function<void()> fn) : state_(std::make_shared<State>())
{
    detail::ParticipantRecord *record = detail::RegisterParticipant("test participant thread");
    auto state = state_;
    state_->thread = std::thread([record, state, fn = std::move(fn)] {
        detail::BindParticipant(record);
        fn();
        state->done = true;  // before leaving, so a Join() waiting on it sees it once we are gone
        detail::UnregisterParticipant();
    });
}

ParticipantThread::~ParticipantThread() { Join(); }

bool ParticipantThread::Done() const { return state_->done.load(); }

void ParticipantThread::Join()
{
    if (!state_->thread.joinable()) return;
    auto state = state_;
    WaitUntil([state] { return state->done.load(); });
    state_->thread.join();
}

Participant::Participant()
{
    if (detail::CurrentParticipant() != nullptr) {
        tl_nested_participants++;
        return;
    }
    detail::BindParticipant(detail::RegisterParticipant("test participant thread"));
}

Participant::~Participant()
{
    if (tl_nested_participants > 0) {
        tl_nested_participants--;
        return;
    }
    detail::UnregisterParticipant();
}

}  // namespace ksim
