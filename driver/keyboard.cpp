/*
 * keyboard.cpp - the start-up veto: the driver refuses to load when the user releases F12 while it
 * starts. Runs at PASSIVE_LEVEL in DriverEntry and takes about one second when no key is seen.
 */
#include "driver/vparallel.h"

#define KBD_STATUS_PORT      0x64
#define KBD_DATA_PORT        0x60
#define KBD_F12_BREAK_CODE   0xD8 /* scan code set 1: F12 released */
#define KBD_POLL_ATTEMPTS    100
#define KBD_POLL_INTERVAL_MS 10

#ifdef VPARALLEL_NO_KEYBOARD_VETO

/* HOST (Wine): port I/O is privileged there and kills the driver's host process, so the image
 * built for it leaves the poll out. The shipped image always keeps it. */
ULONG IsSkipKeyPressed(VOID)
{
    return 0;
}

#else

/* One attempt: the status byte is read and discarded, then the data port is read whatever it
 * holds. HIGH_LEVEL keeps anything else on this processor from running between the two reads. */
static UCHAR ReadKeyboardData(VOID)
{
    KIRQL oldIrql;
    KeRaiseIrql(HIGH_LEVEL, &oldIrql);
    (VOID)READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)KBD_STATUS_PORT);
    UCHAR data = READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)KBD_DATA_PORT);
    KeLowerIrql(oldIrql);
    return data;
}

ULONG IsSkipKeyPressed(VOID)
{
    LARGE_INTEGER interval;
    interval.QuadPart = VP_RELATIVE_MS(KBD_POLL_INTERVAL_MS);
    for (ULONG attempt = 0; attempt < KBD_POLL_ATTEMPTS; attempt++) {
        if (ReadKeyboardData() == KBD_F12_BREAK_CODE) {
            return 1;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    return 0;
}

#endif
