/*
 * error_log.h - telling an administrator why a port refused or failed.
 *
 * Each refusal an administrator should be able to explain (the causes of VP_REFUSAL_CAUSE in
 * public/vparallel_public.h) is reported here, where the driver refuses or fails. A report does two
 * things; neither changes what the request returns, and either may silently not happen:
 *   - an entry in the System event log, with the cause's message from the image's message table
 *     (driver/vparallel_log.mc), the port's name and the status; at most one per cause and port
 *     within VP_REFUSAL_LOG_WINDOW_MS, so an application that retries cannot flood the log;
 *   - the port's last refusal (cause, status, time), stored as the value VP_LAST_REFUSAL_VALUE in
 *     the port's hardware key by a work item, which runs in a system thread as the device-key
 *     service requires. Refusals that come while a store is on its way coalesce: the latest wins.
 *
 * The debug messages of the places that report stay as they are; this is said in addition.
 */
#pragma once

#include <ntifs.h>

#include "public/vparallel_public.h"

/* One entry per cause and port within this window (the interrupt time, which no clock change
 * moves). */
#define VP_REFUSAL_LOG_WINDOW_MS 60000

struct _DEVICE_EXTENSION;

/*
 * The port's refusal log, in its DEVICE_EXTENSION. Lock is a leaf: nothing else is taken while
 * it is held, and it is taken with no other lock of the port held.
 */
typedef struct _VP_REFUSAL_LOG {
    PDEVICE_OBJECT Fdo;  /* set by AddDevice: the device the entries and the work item are for */
    KSPIN_LOCK Lock;     /* guards every field below */
    /* Interrupt time of each cause's last entry; Logged tells whether there was one. */
    LONGLONG LoggedAt[VpRefusalCauseCount];
    BOOLEAN Logged[VpRefusalCauseCount];
    VP_LAST_REFUSAL Latest; /* the latest refusal */
    BOOLEAN StorePending;   /* Latest is not stored yet */
    BOOLEAN StoreQueued;    /* a work item is storing, or about to */
    BOOLEAN Closed;         /* removal has begun: nothing more is stored */
    KEVENT StoreIdle;       /* signalled while StoreQueued is clear */
} VP_REFUSAL_LOG, *PVP_REFUSAL_LOG;

/* AddDevice, before the device can receive a request. */
VOID InitializeRefusalLog(struct _DEVICE_EXTENSION *Extension, PDEVICE_OBJECT Fdo);

/* A refusal or failure of the port with the status it carried. Any IRQL up to DISPATCH_LEVEL. */
VOID ReportRefusal(struct _DEVICE_EXTENSION *Extension, VP_REFUSAL_CAUSE Cause, NTSTATUS Status);

/* Reports Cause when Status is a failure; returns Status. */
NTSTATUS ReportIfFailed(struct _DEVICE_EXTENSION *Extension, VP_REFUSAL_CAUSE Cause, NTSTATUS Status);

/* Surprise removal, before the port is marked removed: reported when the port is open. */
VOID ReportSurpriseRemoval(struct _DEVICE_EXTENSION *Extension);

/* Removal, before the device is deleted: no store starts any more, and one on its way finishes
 * first. PASSIVE_LEVEL. */
VOID CloseRefusalLog(struct _DEVICE_EXTENSION *Extension);
