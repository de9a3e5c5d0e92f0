/*
 * wait_queue.h - the queue of pending wait-on-mask requests, first in first out.
 *
 * The queue is the extension's WaitQueue slots with WaitQueueIn (next free slot) and WaitQueueOut
 * (oldest request). One slot always stays empty, so it holds at most WAIT_QUEUE_SLOTS - 1 requests.
 *
 * The queue has no lock of its own: every user holds the extension's Lock from taking the count or
 * popping a request until its last push-back or completion of that step. Each operation runs at
 * DISPATCH_LEVEL for its own duration.
 */
#pragma once

#include "driver/device_extension.h"

/* Appends Irp at the tail. Returns FALSE, leaving the queue unchanged, when it already holds
 * WAIT_QUEUE_SLOTS - 1 requests; the request then stays its caller's to complete. */
BOOLEAN WaitQueuePush(PDEVICE_EXTENSION Extension, PIRP Irp);

/* Takes the oldest request out, or returns NULL when the queue is empty. */
PIRP WaitQueuePop(PDEVICE_EXTENSION Extension);

/* Requests held, 0 to WAIT_QUEUE_SLOTS - 1. */
LONG WaitQueueCount(PDEVICE_EXTENSION Extension);
