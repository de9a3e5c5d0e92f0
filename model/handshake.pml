/*
 * handshake.pml - who completes each pending request of an open port.
 *
 * The port holds three kinds of pending request: the waiting read (PendingReadIrp, and the
 * reads a later read displaced, DisplacedReadIrps), the wait-on-mask requests (the wait-request
 * queue) and the removal-notify request (NotifyIrp). Each can be finished by several parties at
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
 * surprise removal; LATE lets the application's requests race with its own cleanup.
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
bit  displaced[NIRPS];     /* on DisplacedReadIrps (order does not matter to who completes) */
chan wq = [9] of { byte }; /* the wait-request queue: at most WAIT_QUEUE_SLOTS - 1 requests */
byte notifyIrp = NONE;     /* NotifyIrp */
bit  tornDown;             /* TornDown: set by the teardown's last hold of Lock */

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

/* CompleteTakenIrp (port.h), ReleaseWaitRequest (wait_mask.cpp), AbortPendingRead
 * (purge.cpp), AnswerPendingRead and CompleteNotifyIrp after the take: exchange the cancel
 * routine for none and complete only when it was still there; otherwise the cancel routine is
 * running and completes the request itself. */
inline completeTaken(i, r) {
    clearRoutine(i, r);
    if
    :: r -> complete(i)                         /* still ours: complete it */
    :: else -> skip
    fi
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
    byte prev; bit r;
    atomic { used[i] = 1; acquire(lock) };      /* KeAcquireSpinLock(Lock) */
    if
    :: atomic { release(lock); complete(i) }    /* ring had data, no-wait time-outs, or TornDown */
    :: !tornDown -> atomic {                    /* ParkRead: IoMarkIrpPending, take the slot */
        prev = pendingRead; pendingRead = i
       };
       setRoutine(i);                           /* IoSetCancelRoutine(Irp, R_CancelRoutine) */
       atomic {
           if                                   /* Irp->Cancel && IoSetCancelRoutine(NULL) != NULL */
           :: cancel[i] -> clearRoutine(i, r)
           :: else -> r = 0
           fi
       };
       atomic {
           if
           :: r -> pendingRead = prev           /* not parked after all */
           :: !r && prev != NONE -> displaced[prev] = 1   /* AppendDisplacedRead(previous) */
           :: else -> skip                      /* (R_CancelRoutine may be on its way) */
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
    bit r; bit found; byte k, q;
    atomic { used[i] = 1; acquire(lock) };
    if
    :: tornDown -> atomic {                     /* torn-down port: never queued */
        release(lock); complete(i); dispatched++   /* STATUS_CANCELLED */
       };
       goto out
    :: else -> atomic { touch(i); wq!i }        /* IoMarkIrpPending, WaitQueuePush */
    fi;
    setRoutine(i);                              /* IoSetCancelRoutine(Irp, W_CancelRoutine) */
    atomic {
        if                                      /* Irp->Cancel && IoSetCancelRoutine(NULL) != NULL */
        :: cancel[i] -> clearRoutine(i, r)
        :: else -> r = 0
        fi
    };
    atomic {
        if
        :: r -> removeWait(i, found, k, q)      /* RemoveWaitRequest, answered here */
        :: else -> skip                         /* not cancelled, or W_CancelRoutine is coming */
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
        atomic { touch(i); notifyIrp = i };     /* IoMarkIrpPending, NotifyIrp = Irp */
        setRoutine(i);                          /* IoSetCancelRoutine(Irp, N_CancelRoutine) */
        atomic {
            if                                  /* Irp->Cancel && IoSetCancelRoutine(NULL) != NULL */
            :: cancel[i] -> clearRoutine(i, r)
            :: else -> r = 0
            fi
        };
        atomic {
            if
            :: r -> notifyIrp = NONE
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
        :: x != NONE -> completeTaken(x, r)     /* ReleaseWaitRequest */
        :: else -> skip
        fi;
        release(lock)
    };
    dispatched++
}

/* SerialPurge with SERIAL_PURGE_RXABORT (purge.cpp). */
proctype Purge() {
    byte x; bit r;
    atomic {
        acquire(lock);
        x = pendingRead;                        /* AbortPendingRead: take and empty the slot */
        if
        :: x != NONE -> pendingRead = NONE; completeTaken(x, r)
        :: else -> skip
        fi;
        release(lock)
    };
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
           :: x != NONE -> completeTaken(x, r)  /* CompleteWaitRequest */
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
    byte x, k; bit r;
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
            :: else -> completeTaken(x, r)      /* CompleteTakenIrp(STATUS_CANCELLED) */
            fi;
            k--
        :: else -> break
        od;
        release(lock)
    };
    exitRP = 1;                                 /* StopWorker(ReadPollingExitEvent) */
    endRP;                                      /*   KeWaitForSingleObject(thread) */
    exitEP = 1;                                 /* StopWorker(EmulationPollingExitEvent) */
    endEP;
    atomic {                                    /* CancelHeldRequests */
        acquire(lock);
        do
        :: pop(x);
           if
           :: x != NONE -> completeTaken(x, r)
           :: else -> break
           fi
        od;
        x = pendingRead;                        /* CancelHeldReads: the waiting read */
        pendingRead = NONE;
        if
        :: x != NONE -> completeTaken(x, r)
        :: else -> skip
        fi;
        k = 0;
        do                                      /* and the displaced ones */
        :: k < NIRPS ->
            if
            :: displaced[k] -> displaced[k] = 0; completeTaken(k, r)
            :: else -> skip
            fi;
            k++
        :: else -> break
        od;
        tornDown = 1;                           /* TornDown = TRUE, in the same hold */
        release(lock)
    }
}

/* SurpriseRemove (pnp.cpp): completes the parked notify request and tells the workers to stop,
 * without waiting for them. */
proctype SurpriseRemoval() {
    byte x; bit r;
    if
    :: skip
    :: goto out                                 /* this run has no surprise removal */
    fi;
    atomic {                                    /* CompleteNotifyIrp */
        acquire(lock);
        x = notifyIrp;
        notifyIrp = NONE;
        if
        :: x != NONE -> completeTaken(x, r)     /* STATUS_SUCCESS */
        :: else -> skip
        fi;
        release(lock)
    };
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
