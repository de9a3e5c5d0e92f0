/*
 * request.h - the life of a request the driver leaves pending.
 *
 * A pending request is parked in one place of the port (PendingReadIrp, the wait-request queue,
 * NotifyIrp, or one of the request lists below) with a cancel routine. From then on exactly one
 * of two parties completes it:
 *   - a completer (a worker, a control request, cleanup, surprise removal) that takes it out of
 *     its place under Lock and then claims it by exchanging its cancel routine for none;
 *   - its cancel routine, once the I/O manager has exchanged that routine away to call it.
 * A completer whose claim fails leaves the request alone, neither completing it nor putting it
 * back: the cancel routine is running or about to run, takes the request out of its place under
 * Lock if it is still there, and completes it as cancelled.
 *
 * Lock order: the system cancel spin lock first, then Lock. Parking and claiming only exchange the
 * cancel-routine field, so they are safe under Lock.
 */
#pragma once

#include <ntifs.h>

/* Marks Irp pending and gives it its cancel routine. Caller holds Lock and stores the request in
 * its place after a TRUE answer. FALSE: the request was cancelled before its routine was in
 * place and the cancel found nothing to call; it is not parked, and the caller completes it as
 * cancelled (CompleteRequest) after releasing Lock. */
BOOLEAN ParkRequest(PIRP Irp, PDRIVER_CANCEL CancelRoutine);

/* Ends a dispatch routine that tried to park Irp, after it released Lock: a request that could
 * not be parked is completed as cancelled. Returns STATUS_PENDING, since ParkRequest marked the
 * request pending either way: the request is left pending on purpose. */
NTSTATUS FinishParking(PIRP Irp, BOOLEAN Parked);

/* Claims a request the caller has taken out of its place under Lock. FALSE: its cancel routine
 * owns it. Any IRQL up to DISPATCH_LEVEL. */
BOOLEAN ClaimRequest(PIRP Irp);

/* Completes a request the caller owns (never parked, or claimed), with no priority boost, and
 * returns Status. Any IRQL up to DISPATCH_LEVEL. */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

/* Claims a request taken out of its place and completes it. FALSE when its cancel routine owns
 * it (and completes it). */
BOOLEAN CompleteTakenRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

/* ---- Request lists ---------------------------------------------------------------------------- */
/* Parked requests in arrival order, chained through Tail.Overlay.DriverContext[0], which a driver
 * may use while it owns a request. Guarded by whatever guards the list's owner (Lock for those in
 * the extension). */
typedef struct _REQUEST_LIST {
    PIRP First;
} REQUEST_LIST, *PREQUEST_LIST;

VOID RequestListAppend(PREQUEST_LIST List, PIRP Irp);

/* Unlinks Irp. FALSE when it is not on the list. */
BOOLEAN RequestListRemove(PREQUEST_LIST List, PIRP Irp);

/* Unlinks and returns the oldest request, or NULL. */
PIRP RequestListTakeFirst(PREQUEST_LIST List);

/* ---- Collect, release, complete -------------------------------------------------------------- */
/* Where the caller need not complete under Lock, it collects the requests it takes out of their
 * places on a list of its own while holding Lock, releases Lock, then completes them. */

/* Claims a request taken out of its place and appends it to Done. FALSE, leaving it alone, when
 * its cancel routine owns it. */
BOOLEAN CollectTakenRequest(PREQUEST_LIST Done, PIRP Irp);

/* Completes every request on Done (all claimed) with the same status and Information. */
VOID CompleteRequestList(PREQUEST_LIST Done, NTSTATUS Status, ULONG_PTR Information);
