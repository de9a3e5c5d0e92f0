// ex_pool.cpp - the executive's pool allocator.
//
// Blocks come from the host heap and are described in a side table (address -> type, size,
// tag). New blocks are filled with 0xCD, as a debug pool does, so code that relies on pool being
// zeroed is caught; freed blocks are filled with 0xDD and kept in quarantine for a while so that
// a second free of the same block is told apart from a free of something never allocated. Under
// AddressSanitizer a freed block is also made inaccessible, as the verifier's special pool makes
// it: any access through a stale pointer is reported where it happens.
//
// Large blocks (a port's 256 KB receive ring) are costly to get from the host: each is fresh
// memory, faulted in page by page, and under AddressSanitizer mapped and unmapped every time. So
// the host memory of a large block that has left the quarantine, or whose kernel has ended, waits
// among the spares, still inaccessible, and a later allocation of the same size takes the one
// that has waited longest, once a few newer ones wait behind it. A driver sees a block filled
// with 0xCD either way; a stale pointer into the last few kernels' blocks still faults.
#include "core.h"

#include <sanitizer/asan_interface.h>  // the poisoning macros; they expand to nothing without it

#include <cstdlib>
#include <deque>
#include <map>
#include <set>

namespace ksim::detail {
namespace {

constexpr size_t kQuarantineBytes = 64u << 20;
constexpr size_t kSpareMinBytes = 64u << 10;  // smaller blocks go back to the host at once
constexpr size_t kSpareBytes = 16u << 20;     // the spares' total; the oldest go beyond it
constexpr size_t kSpareAge = 4;               // newer spares of the same size a reused one needs

struct Block {
    POOL_TYPE type;
    size_t size;
    ULONG tag;
};

struct Pool {
    std::mutex lock;
    std::map<const void *, Block> live;
    std::deque<std::pair<void *, size_t>> quarantine;  // oldest first
    std::set<const void *> freed;                      // addresses in quarantine
    size_t quarantine_bytes = 0;
    std::deque<std::pair<void *, size_t>> spares;      // host memory of large blocks, oldest first
    size_t spare_bytes = 0;
    ~Pool()  // at exit, before the leak check
    {
        for (auto &[address, size] : spares) free(address);
    }
};

Pool &P()
{
    static Pool pool;
    return pool;
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

const char *TypeName(POOL_TYPE type) { return IsPaged(type) ? "PagedPool" : "NonPagedPool"; }

std::string Describe(const void *address, const Block &block)
{
    char text[160];
    snprintf(text, sizeof text, "%p: tag %s, %zu bytes, %s", address, TagText(block.tag).c_str(), block.size,
             TypeName(block.type));
    return text;
}

// Pool lock held. The host memory of a freed block (already inaccessible) leaves the pool.
void Release(void *address, size_t size)
{
    Pool &pool = P();
    if (size < kSpareMinBytes) {
        free(address);
        return;
    }
    pool.spares.emplace_back(address, size);
    pool.spare_bytes += size;
    while (pool.spare_bytes > kSpareBytes) {
        pool.spare_bytes -= pool.spares.front().second;
        free(pool.spares.front().first);
        pool.spares.pop_front();
    }
}

// Pool lock held; size at least kSpareMinBytes. The oldest spare of exactly `size` bytes with
// kSpareAge newer ones of that size behind it, made accessible again; null when there is none.
void *TakeSpare(size_t size)
{
    Pool &pool = P();
    size_t newer = 0;
    auto oldest = pool.spares.end();
    for (auto it = pool.spares.end(); it != pool.spares.begin();) {
        --it;
        if (it->second != size) continue;
        if (newer++ >= kSpareAge) oldest = it;
    }
    if (oldest == pool.spares.end()) return nullptr;
    void *address = oldest->first;
    pool.spare_bytes -= size;
    pool.spares.erase(oldest);
    ASAN_UNPOISON_MEMORY_REGION(address, size);
    return address;
}

void *Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    if (IsPaged(type)) {
        CheckIrqlAtMost(PASSIVE_LEVEL, "ExAllocatePoolWithTag(PagedPool)");
    } else {
        CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag(NonPagedPool)");
    }
    NTSTATUS status;
    if (FaultFires(Fault::PoolAllocation, &status)) return nullptr;
    // The lock is taken for the spares only when one may fit; the host allocation and the fill
    // stay outside it, as other threads allocate and free meanwhile.
    void *block = nullptr;
    if (bytes >= kSpareMinBytes) {
        std::lock_guard<std::mutex> guard(P().lock);
        block = TakeSpare(bytes);
    }
    if (block == nullptr) block = malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    memset(block, 0xCD, bytes);
    std::lock_guard<std::mutex> guard(P().lock);
    P().freed.erase(block);
    P().live[block] = Block{type, bytes, tag};
    return block;
}

void TrimQuarantine()
{
    Pool &pool = P();
    while (pool.quarantine_bytes > kQuarantineBytes && !pool.quarantine.empty()) {
        auto [address, size] = pool.quarantine.front();
        pool.quarantine.pop_front();
        pool.quarantine_bytes -= size;
        pool.freed.erase(address);
        Release(address, size);
    }
}

void Free(void *address, ULONG tag, bool check_tag, const char *what)
{
    if (address == nullptr) {
        RecordViolation("pool-free-unknown", std::string(what) + "(NULL)");
        return;
    }
    Pool &pool = P();
    std::unique_lock<std::mutex> lock(pool.lock);
    auto it = pool.live.find(address);
    if (it == pool.live.end()) {
        bool twice = pool.freed.count(address) != 0;
        lock.unlock();
        char text[64];
        snprintf(text, sizeof text, "%p", address);
        if (twice) {
            RecordViolation("pool-double-free", std::string(what) + " of block " + text + ", already freed");
        } else {
            RecordViolation("pool-free-unknown", std::string(what) + " of " + text + ", not a pool block");
        }
        return;
    }
    Block block = it->second;
    pool.live.erase(it);
    memset(address, 0xDD, block.size);
    ASAN_POISON_MEMORY_REGION(address, block.size);
    pool.quarantine.emplace_back(address, block.size);
    pool.quarantine_bytes += block.size;
    pool.freed.insert(address);
    TrimQuarantine();
    lock.unlock();
    if (check_tag && block.tag != tag) {
        RecordViolation("pool-free-tag-mismatch", std::string(what) + " with tag " + TagText(tag) + " of block " +
                                                      Describe(address, block));
    }
    if (IsPaged(block.type)) {
        CheckIrqlAtMost(APC_LEVEL, "ExFreePool(PagedPool)");
    } else {
        CheckIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    }
}

}  // namespace

void ExCheckLeaks(std::vector<Violation> *out)
{
    std::lock_guard<std::mutex> guard(P().lock);
    for (const auto &[address, block] : P().live) out->push_back({"leak-pool", Describe(address, block)});
}

void ExResetPool()
{
    Pool &pool = P();
    std::lock_guard<std::mutex> guard(pool.lock);
    for (auto &[address, block] : pool.live) free(const_cast<void *>(address));
    pool.live.clear();
    for (auto &[address, size] : pool.quarantine) Release(address, size);
    pool.quarantine.clear();
    pool.freed.clear();
    pool.quarantine_bytes = 0;
}

}  // namespace ksim::detail

namespace ksim {

std::vector<PoolBlock> OutstandingPool()
{
    std::lock_guard<std::mutex> guard(detail::P().lock);
    std::vector<PoolBlock> blocks;
    for (const auto &[address, block] : detail::P().live) blocks.push_back({address, block.type, block.size, block.tag});
    return blocks;
}

std::string TagText(ULONG tag)
{
    // The first character is the most significant byte, as a multi-character literal reads.
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

}  // namespace ksim

using namespace ksim::detail;

extern "C" {

static void TracePoolCall(const char *routine, const void *block, uint64_t type, ULONG tag)
{
    if (!ksim::detail::CallTraceOn()) return;
    ksim::KernelCall call;
    call.routine = routine;
    call.object = block;
    call.value = type;
    call.value2 = tag;
    ksim::detail::TraceCall(std::move(call));
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    PVOID block = Allocate(PoolType, NumberOfBytes, Tag);
    TracePoolCall("ExAllocatePoolWithTag", block, PoolType, Tag);
    return block;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    // Windows tags untagged allocations 'None'.
    return Allocate(PoolType, NumberOfBytes, 0x4E6F6E65);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    TracePoolCall("ExFreePoolWithTag", P, 0, Tag);
    Free(P, Tag, true, "ExFreePoolWithTag");
}

VOID NTAPI ExFreePool(PVOID P) { Free(P, 0, false, "ExFreePool"); }

}  // extern "C"
