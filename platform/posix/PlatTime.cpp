// The tick count and calendar time in UTC.
#include "PlatInternal.h"
#include "PlatformCivilDate.h"

#include <ctime>

namespace plat {

namespace {

const uint64_t c_ullTicksPerSecond = 10000000ull; // 100 ns intervals
const uint64_t c_ullSecondsFrom1601To1970 = c_llDaysFrom1601To1970 * 86400ull;
const uint64_t c_ullLargestFileTime = 0x7FFFFFFFFFFFFFFFull;

// Splits 100 ns intervals since 1601-01-01 UTC into calendar fields.
void systemTimeFromTicks(uint64_t ullTicks, SYSTEMTIME& rTime)
{
    uint64_t ullMilliseconds = ullTicks / 10000;
    uint64_t ullSeconds = ullMilliseconds / 1000;
    uint64_t ullDays = ullSeconds / 86400;
    uint64_t ullSecondOfDay = ullSeconds % 86400;
    const CivilDateS date = civilFromDays(static_cast<int64_t>(ullDays) - c_llDaysFrom1601To1970);
    rTime.wYear = static_cast<WORD>(date.m_llYear);
    rTime.wMonth = static_cast<WORD>(date.m_nMonth);
    rTime.wDay = static_cast<WORD>(date.m_nDay);
    // 1601-01-01 was a Monday; Sunday is 0.
    rTime.wDayOfWeek = static_cast<WORD>((ullDays + 1) % 7);
    rTime.wHour = static_cast<WORD>(ullSecondOfDay / 3600);
    rTime.wMinute = static_cast<WORD>(ullSecondOfDay % 3600 / 60);
    rTime.wSecond = static_cast<WORD>(ullSecondOfDay % 60);
    rTime.wMilliseconds = static_cast<WORD>(ullMilliseconds % 1000);
}

} // namespace

} // namespace plat

DWORD GetTickCount()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ullMilliseconds =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ullMilliseconds);
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    if (lpSystemTime == nullptr) {
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // A clock set before 1970 reads as 1970-01-01.
    uint64_t ullSeconds = now.tv_sec > 0 ? static_cast<uint64_t>(now.tv_sec) : 0;
    uint64_t ullTicks =
        (ullSeconds + plat::c_ullSecondsFrom1601To1970) * plat::c_ullTicksPerSecond +
        static_cast<uint64_t>(now.tv_nsec) / 100u;
    plat::systemTimeFromTicks(ullTicks, *lpSystemTime);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    if (lpFileTime == nullptr || lpSystemTime == nullptr) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    uint64_t ullTicks =
        (static_cast<uint64_t>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
    if (ullTicks > plat::c_ullLargestFileTime) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    plat::systemTimeFromTicks(ullTicks, *lpSystemTime);
    return TRUE;
}
