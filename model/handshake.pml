/*
 * handshake.pml - who completes each pending request of an open port.
 *
 * The port holds three kinds of pending request: the waiting read (PendingReadIrp, and the
 * reads a later read displaced, DisplacedReads), the wait-on-mask requests (the wait-request
 * queue, and OverflowWaits for those that found it full) and the removal-notify request
 * (NotifyIrp). Every place parks, claims and completes its requests through driver/request.cpp. Each can be finished by several parties at
 * once. This model runs one process per party, each step standing for one step of the routine
 * named beside it, and spin checks every interleaving.
 *
 * Granularity. A step that only reads or writes state guarded by Lock is folded into the atomic
 * step that follows it while Lock is held: nobody else can see the difference. Steps on state
 * that is shared without Lock (the cancel-routine field, Irp->Cancel, the completion itself, the
 * two spin locks) are steps of their own.
 *
 * Properties (assertions, plus spin's invalid end states for deadlock):
 *   - a request is completed at most once, and never touched by the driver once completed
 *     (after IoCompleteRequest the request may be gone);
 *   - no completion of an empty slot (a NULL taken from PendingReadIrp, NotifyIrp or the queue);
 *   - no completion while the request still has a cancel routine;
 *   - no deadlock between Lock and the system cancel spin lock (every process ends);
 *   - when every party has run to its end, every read and wait request is completed and no place
 *     still names a request; the notify request is completed or still parked with its cancel
 *     routine (closing the port leaves it to the removal or to its cancellation).
 *
 * Configurations (spin -D...): READS, WAITS, NOTIFY pick the requests and parties; SURPRISE adds
 * surprise removal; LATE lets the application's requests race with its own cleanup; SMALLQ gives
 * the wait-request queue room for one request, so the second goes to OverflowWaits.
 */

#define NONE 255

/* The requests. Their kind decides which cancel routine they carry. */
#define R1 0   /* read     -> R_CancelRoutine */
#define R2 1   /* read     -> R_CancelRoutine */
#define W1 2   /* wait     -> W_CancelRoutine */
#define W2 3   /* wait     -> W_CancelRoutine */
#define N1 4   /* notify   -> N_CancelRoutine */
#define N2 5   /* notify   -> N_CancelRoutine */
#define NIRPS 6

#define IS_READ(i)   ((i) == R1 || (i) == R2)
#define IS_WAIT(i)   ((i) == W1 || (i) == W2)
#define IS_NOTIFY(i) ((i) == N1 || (i) == N2)

/* ---- System state ----------------------------------------------------------------------- */

bit  lock;                 /* Extension->Lock */
bit  cslock;               /* the system cancel spin lock */
byte done[NIRPS];          /* IoCompleteRequest calls per request */
bit  cr[NIRPS];            /* Irp->CancelRoutine != NULL */
bit  cancel[NIRPS];        /* Irp->Cancel */
bit  used[NIRPS];          /* the request was sent to the port in this run */

/* ---- Port state (all guarded by Lock) ---------------------------------------------------- */

byte pendingRead = NONE;   /* PendingReadIrp */
bit  displaced[NIRPS];     /* on DisplacedReads (order does not matter to who completes) */
#ifdef SMALLQ
#define WQ_SLOTS 1
#else
#define WQ_SLOTS 9         /* WAIT_QUEUE_SLOTS - 1 */
#endif
chan wq = [WQ_SLOTS] of { byte };  /* the wait-request queue */
bit  overflow[NIRPS];      /* on OverflowWaits: found the queue full */
byte notifyIrp = NONE;     /* NotifyIrp */
bit  tornDown;             /* PortState == PortTornDown: set in the teardown's last hold of Lock */
bit  removed;              /* PortState == PortRemoved: set by surprise removal before the exit events */

/* ---- Stop protocol ------------------------------------------------------------------------ */

bit  exitRP, exitEP;       /* ReadPollingExitEvent, EmulationPollingExitEvent */
bit  endRP, endEP;         /* the polling threads have terminated (their thread objects) */
byte dispatched;           /* dispatch routines that have returned */
byte dispatchers;          /* dispatch routines started */

/* ---- Primitives ----------------------------------------------------------------------------- */

/* KeAcquireSpinLock / KeReleaseSpinLock (and IoAcquire/IoReleaseCancelSpinLock). */
inline acquire(l) { atomic { l == 0 -> l = 1 } }
inline release(l) { l = 0 }

/* Any use of a request by the driver: it must be a request, and not yet completed. */
inline touch(i) { assert(i != NONE); assert(done[i] == 0) }

/* IoSetCancelRoutine(Irp, NULL): r = the routine that was there. */
inline clearRoutine(i, r) { atomic { touch(i); r = cr[i]; cr[i] = 0 } }

/* IoSetCancelRoutine(Irp, X_CancelRoutine). */
inline setRoutine(i) { atomic { touch(i); cr[i] = 1 } }

/* IoCompleteRequest. */
inline complete(i) { atomic { touch(i); assert(cr[i] == 0); done[i]++ } }

/* ParkRequest (driver/request.cpp), caller holding Lock: the cancel routine goes in, then a cancel
 * that came first is looked for. r = 1: the request was cancelled first and is not parked; the
 * caller completes it. The two steps on the request's own fields are steps of their own; the
 * caller stores a parked request in its place in its next hold of Lock. */
inline parkRequest(i, r) {
    setRoutine(i);                              /* IoSetCancelRoutine(Irp, X_CancelRoutine) */
    atomic {
        if                                      /* Irp->Cancel && IoSetCancelRoutine(NULL) != NULL */
        :: cancel[i] -> clearRoutine(i, r)
        :: else -> r = 0
        fi
    }
}

/* CompleteTakenRequest (driver/request.cpp), after the take: ClaimRequest exchanges the cancel
 * routine for none, and the request is completed only when it was still there; otherwise the
 * cancel routine is running and completes the request itself. */
inline completeTaken(i, r) {
    clearRoutine(i, r);
    if
    :: r -> complete(i)                         /* still ours: complete it */
    :: else -> skip
    fi
}

/* CollectTakenRequest (driver/request.cpp): the claim, with the request added to the caller's
 * list (a bit in claimed) to be completed after Lock is released. */
inline collectTaken(i, r, claimed) {
    clearRoutine(i, r);
    if
    :: r -> claimed = claimed | (1 << i)
    :: else -> skip
    fi
}

/* CompleteRequestList: every collected request, after Lock. */
inline completeCollected(claimed, k) {
    k = 0;
    do
    :: k < NIRPS ->
        if
        :: claimed & (1 << k) -> complete(k)
        :: else -> skip
        fi;
        k++
    :: else -> break
    od
}

/* WaitQueuePop: the oldest request, or NONE when empty. Caller holds Lock. */
inline pop(x) {
    if
    :: nempty(wq) -> wq?x
    :: empty(wq) -> x = NONE
    fi
}

/* RemoveWaitRequest (wait_mask.cpp): one full pass, requests ahead go round to the back. */
inline removeWait(i, found, k, q) {
    found = 0;
    k = len(wq);
    do
    :: k > 0 && !found ->
        wq?q;
        if
        :: q == i -> found = 1
        :: else -> wq!q
        fi;
        k--
    :: else -> break
    od
}

/* ---- Cancel routines: entered from IoCancelIrp holding the cancel spin lock ---------------- */

/* R_CancelRoutine (read_write.cpp). */
inline R_CancelRoutine(i) {
    release(cslock);                            /* IoReleaseCancelSpinLock(Irp->CancelIrql) */
    atomic {
        acquire(lock);                          /* KeAcquireSpinLock(Lock) */
        if                                      /* PendingReadIrp == Irp ? empty it : unlink */
        :: pendingRead == i -> pendingRead = NONE
        :: else -> displaced[i] = 0
        fi;
        release(lock)                           /* KeReleaseSpinLock(Lock) */
    };
    complete(i)                                 /* CompleteRequest(STATUS_CANCELLED) */
}

/* W_CancelRoutine (wait_mask.cpp): walks the queue before it lets the cancel spin lock go. */
inline W_CancelRoutine(i, found, k, q) {
    atomic { touch(i); cr[i] = 0 };             /* IoSetCancelRoutine(Irp, NULL) */
    atomic {
        acquire(lock);                          /* KeAcquireSpinLockAtDpcLevel(Lock) */
        removeWait(i, found, k, q);             /* RemoveWaitRequest */
        if
        :: !found -> overflow[i] = 0            /* or RequestListRemove(OverflowWaits) */
        :: else -> skip
        fi;
        release(lock)                           /* KeReleaseSpinLockFromDpcLevel(Lock) */
    };
    release(cslock);                            /* IoReleaseCancelSpinLock */
    complete(i)                                 /* STATUS_CANCELLED, found or not */
}

/* N_CancelRoutine (notify.cpp). */
inline N_CancelRoutine(i) {
    release(cslock);                            /* IoReleaseCancelSpinLock */
    atomic {
        acquire(lock);
        if                                      /* NotifyIrp == Irp ? empty it */
        :: notifyIrp == i -> notifyIrp = NONE
        :: else -> skip
        fi;
        release(lock)
    };
    complete(i)                                 /* STATUS_CANCELLED */
}

/* IoCancelIrp (the I/O manager, on the application's CancelIo or thread exit). A request still
 * on its way to the port can be cancelled too: it then only gets Irp->Cancel. */
proctype Canceller(byte i) {
    bit r; bit found; byte k, q;
    if
    :: skip
    :: goto out                                 /* this run never cancels it */
    fi;
    atomic {                                    /* IoAcquireCancelSpinLock, while it is pending */
        (cslock == 0 || done[i] != 0);
        if
        :: done[i] != 0 -> goto out
        :: else -> cslock = 1
        fi;
        cancel[i] = 1;                          /* Irp->Cancel = TRUE */
        r = cr[i]; cr[i] = 0                    /* IoSetCancelRoutine(Irp, NULL) */
    };
    if
    :: r && IS_READ(i)   -> R_CancelRoutine(i)
    :: r && IS_WAIT(i)   -> W_CancelRoutine(i, found, k, q)
    :: r && IS_NOTIFY(i) -> N_CancelRoutine(i)
    :: !r -> release(cslock)                    /* nothing to call: IoCancelIrp returns FALSE */
    fi;
out:
    skip
}

/* ---- Dispatch routines (the application's threads) ---------------------------------------- */

/* VPARALLEL_Read -> ReadFromRing / ParkRead (read_write.cpp). */
proctype Read(byte i) {
    bit r;
    atomic { used[i] = 1; acquire(lock) };      /* KeAcquireSpinLock(Lock) */
    if
    :: atomic { release(lock); complete(i) }    /* ring had data, no-wait time-outs, or no worker left */
    :: !tornDown && !removed ->                 /* ReadWorkerRuns */
       parkRequest(i, r);                       /* ParkRead: ParkRequest(R_CancelRoutine) */
       atomic {
           if                                   /* parked: PendingReadIrp, the previous one displaced */
           :: !r && pendingRead != NONE -> displaced[pendingRead] = 1; pendingRead = i
           :: !r && pendingRead == NONE -> pendingRead = i
           :: else -> skip                      /* cancelled first: not parked */
           fi;
           release(lock)
       };
       if
       :: r -> complete(i)                      /* CompleteRequest(STATUS_CANCELLED) */
       :: else -> skip
       fi
    fi;
    dispatched++
}

/* SerialWaitOnMask (wait_mask.cpp). */
proctype WaitOnMask(byte i) {
    bit r;
    atomic { used[i] = 1; acquire(lock) };
    if
    :: tornDown -> atomic {                     /* torn-down port: never queued */
        release(lock); complete(i); dispatched++   /* STATUS_CANCELLED */
       };
       goto out
    :: else -> parkRequest(i, r)                /* ParkRequest(W_CancelRoutine) */
    fi;
    atomic {
        if                                      /* parked: WaitQueuePush, or OverflowWaits when full */
        :: !r && len(wq) < WQ_SLOTS -> wq!i
        :: !r && len(wq) == WQ_SLOTS -> overflow[i] = 1
        :: else -> skip                         /* cancelled first: not parked */
        fi;
        release(lock)
    };
    atomic {
        if
        :: r -> complete(i)                     /* STATUS_CANCELLED */
        :: else -> skip
        fi;
        dispatched++
    };
out:
    skip
}

/* SerialNotifyRemoval (notify.cpp); a second one while one is parked is refused at once. */
proctype NotifyRemoval(byte i) {
    bit r;
    atomic { used[i] = 1; acquire(lock) };
    if
    :: notifyIrp != NONE -> atomic { release(lock); complete(i) }   /* STATUS_DEVICE_BUSY */
    :: else ->
        parkRequest(i, r);                      /* ParkRequest(N_CancelRoutine) */
        atomic {
            if
            :: !r -> notifyIrp = i              /* parked: NotifyIrp = Irp */
            :: else -> skip
            fi;
            release(lock)
        };
        if
        :: r -> complete(i)                     /* STATUS_CANCELLED */
        :: else -> skip
        fi
    fi;
    dispatched++
}

/* SerialSetWaitMask (wait_mask.cpp): releases the oldest wait request. */
proctype SetWaitMask() {
    byte x; bit r;
    atomic {
        acquire(lock);
        pop(x);                                 /* WaitQueuePop */
        if
        :: x != NONE -> completeTaken(x, r)     /* CompleteTakenWait(0), holding Lock */
        :: else -> skip
        fi;
        release(lock)
    };
    dispatched++
}

/* SerialPurge with SERIAL_PURGE_RXABORT (purge.cpp): the read is completed after Lock. */
proctype Purge() {
    byte x, k; bit r; byte claimed;
    atomic {
        acquire(lock);
        x = pendingRead;                        /* SerialPurge: take and empty the slot */
        if
        :: x != NONE -> pendingRead = NONE; collectTaken(x, r, claimed)
        :: else -> skip
        fi;
        release(lock)
    };
    completeCollected(claimed, k);              /* STATUS_CANCELLED */
    dispatched++
}

/* ---- Worker threads (workers.cpp) -------------------------------------------------------- */

/* Each hold of Lock by a worker, the purge, set-wait-mask, cleanup and the removal is one atomic
 * step: inside it they touch only Lock's state and exchange cancel routines for none, and a
 * canceller that comes in between behaves as one that came just before or just after. */

/* pEmulationPollingFunction: one queued wait request per cycle, answered or pushed back. */
proctype EmulationPolling() {
    byte x; bit r;
    do
    :: exitEP -> break                          /* ExitRequested */
    :: !exitEP ->
        atomic {                                /* EmulationCycle */
            acquire(lock);
            pop(x);
            if
            :: x != NONE ->
                if
                :: completeTaken(x, r)          /* AnswerOrRequeue: events found */
                :: wq!x                         /* AnswerOrRequeue: none, back to the tail */
                fi
            :: else -> skip
            fi;
            release(lock)
        }
    od;
    atomic {                                    /* EmulationExitWork: every queued request */
        acquire(lock);
        do
        :: pop(x);
           if
           :: x != NONE -> completeTaken(x, r)  /* CompleteTakenWait(0) */
           :: else -> break
           fi
        od;
        release(lock)
    };
    endEP = 1                                   /* PsTerminateSystemThread */
}

/* pReadPollingFunction: a wait request for received characters, then the waiting read. */
proctype ReadPolling() {
    byte x; bit r;
    do
    :: exitRP -> break
    :: !exitRP ->
        atomic {                                /* ReadPollingCycle: AnswerReceivedCharWait */
            acquire(lock);
            pop(x);
            if
            :: x != NONE ->
                if
                :: completeTaken(x, r)          /* data in the ring, RXCHAR awaited */
                :: wq!x                         /* empty ring or not awaited: back */
                fi
            :: else -> skip
            fi;
            release(lock)
        };
        atomic {                                /* ReadPollingCycle: AnswerPendingRead */
            acquire(lock);
            x = pendingRead;
            if
            :: x != NONE ->
                if
                :: skip                         /* nothing yet, poll limit not reached */
                :: pendingRead = NONE;          /* taken before any byte leaves the ring */
                   completeTaken(x, r)
                fi
            :: else -> skip
            fi;
            release(lock)
        }
    od;
    atomic {                                    /* ReadPollingExitWork */
        acquire(lock);
        pop(x);                                 /* one queued wait request */
        if
        :: x != NONE -> completeTaken(x, r)
        :: else -> skip
        fi;
        x = pendingRead;                        /* and the waiting read, with 0 bytes */
        if
        :: x != NONE -> pendingRead = NONE; completeTaken(x, r)
        :: else -> skip
        fi;
        release(lock)
    };
    endRP = 1
}

/* ---- Teardown and removal ------------------------------------------------------------------- */

/* VPARALLEL_Cleanup -> TeardownPort (create_close.cpp). */
proctype Cleanup() {
    byte x, k; bit r; byte claimed;
#ifndef LATE
    (dispatched == dispatchers);                /* the application closes its handle last */
#endif
    atomic {                                    /* CancelQueuedWaits */
        acquire(lock);
        k = len(wq);
        do
        :: k > 0 ->
            pop(x);
            if
            :: x == NONE -> break
            :: else -> completeTaken(x, r)      /* CompleteTakenRequest(STATUS_CANCELLED) */
            fi;
            k--
        :: else -> break
        od;
        k = 0;
        do                                      /* and those on OverflowWaits, all under Lock */
        :: k < NIRPS ->
            if
            :: overflow[k] -> overflow[k] = 0; completeTaken(k, r)
            :: else -> skip
            fi;
            k++
        :: else -> break
        od;
        release(lock)
    };
    exitRP = 1;                                 /* StopWorker(ReadPollingExitEvent) */
    endRP;                                      /*   KeWaitForSingleObject(thread) */
    exitEP = 1;                                 /* StopWorker(EmulationPollingExitEvent) */
    endEP;
    atomic {                                    /* CancelHeldRequests: take them all */
        acquire(lock);
        do
        :: pop(x);
           if
           :: x != NONE -> collectTaken(x, r, claimed)
           :: else -> break
           fi
        od;
        x = pendingRead;                        /* CollectHeldReads: the waiting read */
        pendingRead = NONE;
        if
        :: x != NONE -> collectTaken(x, r, claimed)
        :: else -> skip
        fi;
        k = 0;
        do                                      /* the displaced reads and OverflowWaits */
        :: k < NIRPS ->
            if
            :: displaced[k] || overflow[k] -> displaced[k] = 0; overflow[k] = 0; collectTaken(k, r, claimed)
            :: else -> skip
            fi;
            k++
        :: else -> break
        od;
        tornDown = 1;                           /* PortTornDown, in the same hold */
        release(lock)
    };
    completeCollected(claimed, k)               /* STATUS_CANCELLED, after Lock */
}

/* SurpriseRemove (pnp.cpp): completes the parked notify request and tells the workers to stop,
 * without waiting for them. */
proctype SurpriseRemoval() {
    byte x, k; bit r; byte claimed;
    if
    :: skip
    :: goto out                                 /* this run has no surprise removal */
    fi;
    atomic {                                    /* CompleteNotifyIrp */
        acquire(lock);
        x = notifyIrp;
        notifyIrp = NONE;
        if
        :: x != NONE -> collectTaken(x, r, claimed)
        :: else -> skip
        fi;
        release(lock)
    };
    completeCollected(claimed, k);              /* STATUS_SUCCESS, after Lock */
    removed = 1;                                /* VpMarkPortRemoved */
    exitRP = 1;                                 /* KeSetEvent on the six events */
    exitEP = 1;
out:
    skip
}

/* ---- The run --------------------------------------------------------------------------------- */

#define START(p) dispatchers++; run p

init {
    byte i;
    atomic {
#if defined(READS) || defined(WAITS)
        run ReadPolling();
#else
        endRP = 1;                              /* nothing for it to do here */
#endif
#ifdef WAITS
        run EmulationPolling();
#else
        endEP = 1;
#endif
#ifdef READS
        START(Read(R1));
        START(Read(R2));
        START(Purge());
        run Canceller(R1);
        run Canceller(R2);
#endif
#ifdef WAITS
        START(WaitOnMask(W1));
        START(WaitOnMask(W2));
        START(SetWaitMask());
        run Canceller(W1);                      /* W2 stays in the queue while W1's cancel
                                                   routine walks it; W_CancelRoutine holds
                                                   the cancel spin lock throughout, so two
                                                   cancels only follow each other */
#endif
#ifdef NOTIFY
        START(NotifyRemoval(N1));
        START(NotifyRemoval(N2));
        run Canceller(N1);
        run Canceller(N2);
#endif
#ifdef SURPRISE
        run SurpriseRemoval();
#endif
        run Cleanup()
    };

    /* Every party has run to its end. */
    _nr_pr == 1;
    assert(pendingRead == NONE);
    assert(empty(wq));
    i = 0;
    do
    :: i < NIRPS ->
        assert(displaced[i] == 0);
        assert(overflow[i] == 0);
        if
        :: used[i] && IS_NOTIFY(i) ->           /* completed, or parked and cancellable */
            assert(done[i] == 1 || (notifyIrp == i && cr[i] == 1))
        :: used[i] && !IS_NOTIFY(i) ->
            assert(done[i] == 1)
        :: else -> skip
        fi;
        i++
    :: else -> break
    od
}
