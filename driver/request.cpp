/*
 * request.cpp - parking, claiming and completing pending requests; request lists.
 */
#include "driver/request.h"

BOOLEAN ParkRequest(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    Irp->IoStatus.Information = 0;
    IoSetCancelRoutine(Irp, CancelRoutine);
    /* A cancel that came first found no routine to call. If the routine is still ours, nobody
     * else will answer the cancel; if it is gone, the cancel routine has been called since and
     * finds the request in its place. */
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        return FALSE;
    }
    return TRUE;
}

NTSTATUS FinishParking(PIRP Irp, BOOLEAN Parked)
{
    if (!Parked) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

BOOLEAN ClaimRequest(PIRP Irp)
{
    return IoSetCancelRoutine(Irp, NULL) != NULL;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

BOOLEAN CompleteTakenRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    if (!ClaimRequest(Irp)) {
        return FALSE;
    }
    CompleteRequest(Irp, Status, Information);
    return TRUE;
}

BOOLEAN CollectTakenRequest(PREQUEST_LIST Done, PIRP Irp)
{
    if (!ClaimRequest(Irp)) {
        return FALSE;
    }
    RequestListAppend(Done, Irp);
    return TRUE;
}

VOID CompleteRequestList(PREQUEST_LIST Done, NTSTATUS Status, ULONG_PTR Information)
{
    PIRP irp;

    while ((irp = RequestListTakeFirst(Done)) != NULL) {
        CompleteRequest(irp, Status, Information);
    }
}

/* ---- Request lists ---------------------------------------------------------------------------- */

static PIRP *NextOf(PIRP Irp)
{
    return (PIRP *)&Irp->Tail.Overlay.DriverContext[0];
}

VOID RequestListAppend(PREQUEST_LIST List, PIRP Irp)
{
    PIRP *link = &List->First;

    while (*link != NULL) {
        link = NextOf(*link);
    }
    *NextOf(Irp) = NULL;
    *link = Irp;
}

BOOLEAN RequestListRemove(PREQUEST_LIST List, PIRP Irp)
{
    PIRP *link = &List->First;

    while (*link != NULL) {
        if (*link == Irp) {
            *link = *NextOf(Irp);
            return TRUE;
        }
        link = NextOf(*link);
    }
    return FALSE;
}

PIRP RequestListTakeFirst(PREQUEST_LIST List)
{
    PIRP irp = List->First;

    if (irp != NULL) {
        List->First = *NextOf(irp);
    }
    return irp;
}
