/* ntddk.h - as in the WDK, the WDM interfaces plus the few the stand-in adds for NT drivers. */
#pragma once
#include <wdm.h>
