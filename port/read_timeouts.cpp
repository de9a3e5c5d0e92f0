/*
 * read_timeouts.cpp - when a read ends, under the read time-outs the application set.
 *
 * Communication software is written against the time-outs of a serial port (SetCommTimeouts), so
 * the port keeps their meaning, with R the interval, M the multiplier and C the constant in
 * milliseconds, and L the read's length:
 *   - a read whose count the ring already holds completes at once;
 *   - R MAXULONG: a read returns at once with what the ring holds, if anything. Otherwise, with
 *     M and C both 0 it returns at once with nothing; with M MAXULONG and C below MAXULONG it ends
 *     as soon as anything arrives, or with nothing after C; any other M and C: it waits for its
 *     count, at most M * L + C;
 *   - otherwise M * L + C, when not 0, ends the read with what has arrived; R, when not 0, ends it
 *     once that long has passed without a reply after something has arrived; the count reached
 *     ends it. All three 0 (the state of a port nobody set time-outs on) is no time-out at all:
 *     the read waits for its full count, as it does on a serial port, and never ends empty.
 * Bytes stay in the ring until the read ends, so a read that is cancelled, displaced or purged
 * takes nothing with it. A waiting read also ends when the ring is full: waiting longer would
 * drop what the device sends next.
 *
 * Times come from ReadClockNow. The read-polling thread looks at a waiting read at every poll,
 * which on Windows comes at the next clock tick, so a time-out ends at the first tick at or after
 * it: never early, and late by less than one tick. Any IRQL.
 */
#include "port/port.h"

#include "buffers/ring_buffer.h"

#define VP_100NS_PER_MS 10000ULL
#define VP_100NS_PER_SECOND 10000000ULL

/*
 * The clock of read time-outs, in 100 ns units. The performance counter rather than the
 * interrupt time: the interrupt time moves a whole clock tick (15.625 ms by default) at a time, so
 * measured on it a 10 ms time-out of a read that parked just before a tick would run out at that
 * very tick, after almost nothing.
 */
ULONGLONG ReadClockNow(VOID)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    ULONGLONG ticks = (ULONGLONG)counter.QuadPart;
    ULONGLONG perSecond = (ULONGLONG)frequency.QuadPart;

    if (perSecond == 0) {
        return 0;
    }
    /* In two parts, so that neither product overflows. */
    return ticks / perSecond * VP_100NS_PER_SECOND + ticks % perSecond * VP_100NS_PER_SECOND / perSecond;
}

/* Now + Milliseconds, saturating: a time-out of years never ends. */
static ULONGLONG DeadlineAfter(ULONGLONG Now, ULONGLONG Milliseconds)
{
    if (Milliseconds > (MAXULONGLONG - Now) / VP_100NS_PER_MS) {
        return MAXULONGLONG;
    }
    return Now + Milliseconds * VP_100NS_PER_MS;
}

/* M * L + C, which cannot overflow 64 bits. */
static ULONGLONG TotalMilliseconds(const SERIAL_TIMEOUTS *Timeouts, ULONG Length)
{
    return (ULONGLONG)Timeouts->ReadTotalTimeoutMultiplier * Length + Timeouts->ReadTotalTimeoutConstant;
}

BOOLEAN PlanRead(const SERIAL_TIMEOUTS *Timeouts, ULONG Length, ULONG Available, ULONGLONG Now, PVP_READ_TIMER Timer)
{
    ULONGLONG total;

    RtlZeroMemory(Timer, sizeof(*Timer));
    Timer->Start = Now;
    if (Available >= Length) {
        return FALSE;
    }
    total = TotalMilliseconds(Timeouts, Length);
    if (Timeouts->ReadIntervalTimeout == MAXULONG) {
        if (Available != 0 || total == 0) {
            return FALSE;
        }
        if (Timeouts->ReadTotalTimeoutMultiplier == MAXULONG && Timeouts->ReadTotalTimeoutConstant != MAXULONG) {
            if (Timeouts->ReadTotalTimeoutConstant == 0) {
                return FALSE;
            }
            Timer->AnyByteEnds = TRUE;
            total = Timeouts->ReadTotalTimeoutConstant;
        }
        Timer->TotalDeadline = DeadlineAfter(Now, total);
        return TRUE;
    }
    if (total != 0) {
        Timer->TotalDeadline = DeadlineAfter(Now, total);
    }
    if (Timeouts->ReadIntervalTimeout != 0) {
        Timer->Interval = (ULONGLONG)Timeouts->ReadIntervalTimeout * VP_100NS_PER_MS;
    }
    return TRUE;
}

BOOLEAN ReadTimerEnds(const VP_READ_TIMER *Timer, ULONG Length, ULONG Available, ULONGLONG Now,
                      ULONGLONG LastReceive)
{
    ULONGLONG quietSince;

    if (Available >= Length || Available >= RX_BUFFER_CAPACITY) {
        return TRUE;
    }
    if (Timer->AnyByteEnds && Available != 0) {
        return TRUE;
    }
    if (Timer->TotalDeadline != 0 && Now >= Timer->TotalDeadline) {
        return TRUE;
    }
    if (Timer->Interval == 0 || Available == 0) {
        return FALSE;
    }
    quietSince = LastReceive > Timer->Start ? LastReceive : Timer->Start;
    return Now >= quietSince + Timer->Interval;
}
