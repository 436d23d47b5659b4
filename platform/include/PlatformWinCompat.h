// The few target calls that desktop Windows lacks, for the Windows build.
#pragma once

#if defined(_WIN32)
#include <io.h>
#include <stdio.h>
#endif

#if defined(_WIN32) && !defined(UNDER_CE)
// The target reports priorities on a 0..255 scale where a normal thread is
// 251 and smaller numbers run first; desktop Windows counts the other way
// round around 0.
inline int CeGetThreadPriority(HANDLE hThread)
{
    return 251 - GetThreadPriority(hThread);
}
#endif
