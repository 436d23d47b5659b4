#pragma once

#include "Nox_Tim/NOX_TIM.h"

// A clock the test moves by hand; every wall-clock read is counted.
struct FakeClockS
{
    static inline DWORD s_dwTicks = 0;
    static inline SYSTEMTIME s_stWallClock = {};
    static inline int s_nClockReads = 0;

    static DWORD ticks() { return s_dwTicks; }
    static void wallClock(SYSTEMTIME* pTime)
    {
        ++s_nClockReads;
        *pTime = s_stWallClock;
    }
    // Noon of that date, tick count 1000.
    static void install(WORD wYear, WORD wMonth, WORD wDay)
    {
        s_stWallClock = SYSTEMTIME{wYear, wMonth, 0, wDay, 12, 0, 0, 0};
        s_dwTicks = 1000;
        s_nClockReads = 0;
        NOX::TIM::setTimeSources(&ticks, &wallClock);
    }
};
