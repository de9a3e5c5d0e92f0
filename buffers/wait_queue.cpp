/*
 * wait_queue.cpp - the wait-on-mask request queue inside the device extension.
 *
 * Called with the extension's Lock held (see wait_queue.h); runs at DISPATCH_LEVEL. A popped
 * request's slot is not cleared: slots outside the held range have no meaning.
 */
#include "buffers/wait_queue.h"

static inline ULONG NextSlot(ULONG Slot)
{
    return Slot + 1 == WAIT_QUEUE_SLOTS ? 0 : Slot + 1;
}

BOOLEAN WaitQueuePush(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL oldIrql;
    BOOLEAN stored = FALSE;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    ULONG next = NextSlot(Extension->WaitQueueIn);
    if (next != Extension->WaitQueueOut) {
        Extension->WaitQueue[Extension->WaitQueueIn] = Irp;
        Extension->WaitQueueIn = next;
        stored = TRUE;
    }
    KeLowerIrql(oldIrql);
    return stored;
}

PIRP WaitQueuePop(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    PIRP irp = NULL;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    if (Extension->WaitQueueOut != Extension->WaitQueueIn) {
        irp = Extension->WaitQueue[Extension->WaitQueueOut];
        Extension->WaitQueueOut = NextSlot(Extension->WaitQueueOut);
    }
    KeLowerIrql(oldIrql);
    return irp;
}

LONG WaitQueueCount(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    ULONG in = Extension->WaitQueueIn;
    ULONG out = Extension->WaitQueueOut;
    KeLowerIrql(oldIrql);
    if (in >= out) {
        return (LONG)(in - out);
    }
    return (LONG)(in + WAIT_QUEUE_SLOTS - out);
}
