/*
 * ring_buffer.cpp - the receive ring buffer shared by the read thread and the read paths.
 *
 * Runs at DISPATCH_LEVEL: each operation raises the IRQL for its own duration, so the record must
 * live in non-paged pool. A transfer is at most two copies: up to the end of Data, then from its
 * start.
 */
#include "buffers/ring_buffer.h"

#include "driver/device_extension.h"

/*
 * Index publication. A side copies its bytes first and then stores its own index with
 * InterlockedExchange, a full barrier for the compiler and the processor, so the other side never
 * sees an index move before the bytes it covers are in place (or taken). The other side's index is
 * read with an interlocked compare-exchange that never changes it: an atomic read with a full
 * barrier, so the copy that follows cannot be hoisted above it. A plain volatile read would do on
 * x64 with the Microsoft compiler, but GCC gives volatile no ordering, and a thread checker sees it
 * as a race with the other side's exchange. A side reads its own index the same way: the
 * compare-exchange the other side runs on it is, when it matches, a store of the same value, and a
 * plain read beside a store is a data race even when the value cannot change. Both sets of headers
 * provide these; ReadAcquire and WriteRelease are not in mingw-w64's.
 */
static inline ULONG LoadIndex(volatile ULONG *Index)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG *)Index, 0, 0);
}

static inline VOID PublishIndex(volatile ULONG *Index, ULONG Value)
{
    InterlockedExchange((volatile LONG *)Index, (LONG)Value);
}

/* Callers may pass a null buffer with a length of 0; a zero-length copy must not touch it. */
static inline VOID CopyBytes(PVOID Destination, const VOID *Source, ULONG Length)
{
    if (Length == 0) {
        return;
    }
    RtlCopyMemory(Destination, Source, Length);
}

static inline ULONG MinUlong(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

PRING_BUFFER RxBufferAllocate(VOID)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    PRING_BUFFER ring = (PRING_BUFFER)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(RING_BUFFER), VP_TAG_RING);
    if (ring != NULL) {
        ring->WriteIndex = 0;
        ring->ReadIndex = 0;
    }
    KeLowerIrql(oldIrql);
    return ring;
}

VOID RxBufferFree(PRING_BUFFER Ring)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    ExFreePoolWithTag(Ring, VP_TAG_RING);
    KeLowerIrql(oldIrql);
}

/* Free positions from position 0 when WriteIndex has just wrapped to 0. */
static inline ULONG FreeFromStart(ULONG ReadIndex)
{
    return ReadIndex == 0 ? RX_BUFFER_SIZE - 1 : ReadIndex - 1;
}

static ULONG WriteLocked(PRING_BUFFER Ring, const UCHAR *Source, ULONG Length)
{
    ULONG w = LoadIndex(&Ring->WriteIndex);
    ULONG r = LoadIndex(&Ring->ReadIndex);

    if (w < r) {
        ULONG n = MinUlong(Length, r - w - 1);
        CopyBytes(&Ring->Data[w], Source, n);
        PublishIndex(&Ring->WriteIndex, w + n);
        return n;
    }

    ULONG toEnd = RX_BUFFER_SIZE - w;
    if (toEnd > Length) {
        CopyBytes(&Ring->Data[w], Source, Length);
        PublishIndex(&Ring->WriteIndex, w + Length);
        return Length;
    }
    if (r == 0) {
        /* Wrapping to 0 would make WriteIndex equal ReadIndex: the buffer would look empty. */
        CopyBytes(&Ring->Data[w], Source, toEnd - 1);
        PublishIndex(&Ring->WriteIndex, RX_BUFFER_SIZE - 1);
        return toEnd - 1;
    }

    CopyBytes(&Ring->Data[w], Source, toEnd);
    PublishIndex(&Ring->WriteIndex, 0);
    /* The consumers may have freed more meanwhile, or even caught up and wrapped to 0. */
    r = LoadIndex(&Ring->ReadIndex);
    ULONG more = MinUlong(Length - toEnd, FreeFromStart(r));
    CopyBytes(&Ring->Data[0], Source + toEnd, more);
    PublishIndex(&Ring->WriteIndex, more);
    return toEnd + more;
}

ULONG RxBufferWrite(PRING_BUFFER Ring, const VOID *Source, ULONG Length)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    ULONG stored = WriteLocked(Ring, (const UCHAR *)Source, Length);
    KeLowerIrql(oldIrql);
    return stored;
}

static ULONG ReadLocked(PRING_BUFFER Ring, PUCHAR Destination, ULONG Length)
{
    ULONG r = LoadIndex(&Ring->ReadIndex);
    ULONG w = LoadIndex(&Ring->WriteIndex);

    if (r == w) {
        return 0;
    }
    if (r < w) {
        ULONG n = MinUlong(Length, w - r);
        CopyBytes(Destination, &Ring->Data[r], n);
        PublishIndex(&Ring->ReadIndex, r + n);
        return n;
    }

    ULONG toEnd = RX_BUFFER_SIZE - r;
    if (toEnd > Length) {
        CopyBytes(Destination, &Ring->Data[r], Length);
        PublishIndex(&Ring->ReadIndex, r + Length);
        return Length;
    }

    /* A read that ends exactly at the end of Data leaves ReadIndex at 0, never at RX_BUFFER_SIZE. */
    CopyBytes(Destination, &Ring->Data[r], toEnd);
    PublishIndex(&Ring->ReadIndex, 0);
    /* The producer may have stored more from position 0 meanwhile. */
    w = LoadIndex(&Ring->WriteIndex);
    ULONG more = MinUlong(Length - toEnd, w);
    CopyBytes(Destination + toEnd, &Ring->Data[0], more);
    PublishIndex(&Ring->ReadIndex, more);
    return toEnd + more;
}

ULONG RxBufferRead(PRING_BUFFER Ring, PVOID Destination, ULONG Length)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    ULONG taken = ReadLocked(Ring, (PUCHAR)Destination, Length);
    KeLowerIrql(oldIrql);
    return taken;
}

VOID RxBufferReset(PRING_BUFFER Ring)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    /* Setting both indices to 0 would race the producer: its next store of WriteIndex, computed
     * from the old value, would make stale bytes between 0 and that value readable. */
    PublishIndex(&Ring->ReadIndex, LoadIndex(&Ring->WriteIndex));
    KeLowerIrql(oldIrql);
}

ULONG RxBufferCount(PRING_BUFFER Ring)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    ULONG r = LoadIndex(&Ring->ReadIndex);
    ULONG w = LoadIndex(&Ring->WriteIndex);
    KeLowerIrql(oldIrql);
    if (w >= r) {
        return w - r;
    }
    return w + RX_BUFFER_SIZE - r;
}
