/*
 * ring_buffer.h - the receive ring buffer: the device's replies that no read request has taken yet.
 *
 * One per port, allocated with the port's device and freed when the device is removed, so unread
 * bytes survive a close and are served after the next open.
 *
 * One producer (the read thread, which takes no lock) and consumers that hold the extension's Lock
 * while they read, so reads never overlap each other. The record itself needs no lock: WriteIndex
 * is moved only by the producer and ReadIndex only by the consumers, each after the bytes it covers
 * have been copied. Every operation runs at DISPATCH_LEVEL for its own duration.
 */
#pragma once

#include <ntddk.h>

/* 262,145 positions of which 262,144 hold data: one always stays free so that a full buffer can be
 * told from an empty one. */
#define RX_BUFFER_SIZE 0x40001UL
#define RX_BUFFER_CAPACITY (RX_BUFFER_SIZE - 1)

typedef struct _RING_BUFFER {
    volatile ULONG ReadIndex;  /* oldest unread byte; moved only by consumers */
    volatile ULONG WriteIndex; /* where the next stored byte goes; moved only by the producer */
    UCHAR Data[RX_BUFFER_SIZE];
} RING_BUFFER, *PRING_BUFFER;

/* A new, empty ring from non-paged pool, or NULL when the pool cannot supply it. */
PRING_BUFFER RxBufferAllocate(VOID);
VOID RxBufferFree(PRING_BUFFER Ring);

/* Producer only. Stores what fits of Length bytes and returns how many it stored; the rest is
 * dropped. */
ULONG RxBufferWrite(PRING_BUFFER Ring, const VOID *Source, ULONG Length);

/* Consumers, holding Lock. Copies out and removes up to Length bytes, oldest first; returns the
 * number taken. */
ULONG RxBufferRead(PRING_BUFFER Ring, PVOID Destination, ULONG Length);

/* A consumer operation (call it holding Lock): discards every byte stored so far by moving ReadIndex
 * up to WriteIndex. It never touches the producer's index, so a reply the read thread is storing at
 * the same moment cannot make discarded bytes readable again. */
VOID RxBufferReset(PRING_BUFFER Ring);

/* Bytes held, 0 to RX_BUFFER_SIZE - 1. May be stale by the time the caller acts on it. */
ULONG RxBufferCount(PRING_BUFFER Ring);
