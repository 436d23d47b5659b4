// The tick count and calendar time in UTC.
#include "PlatInternal.h"

#include <ctime>

namespace plat {

namespace {

const uint64_t c_ullTicksPerSecond = 10000000ull;           // 100 ns intervals
const uint64_t c_ullSecondsFrom1601To1970 = 11644473600ull; // 134774 days
const int64_t c_llDaysFrom1601To1970 = 134774;
const uint64_t c_ullLargestFileTime = 0x7FFFFFFFFFFFFFFFull;

// The civil date of a day count from 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t llDays, SYSTEMTIME& rTime)
{
    llDays += 719468;
    int64_t llEra = (llDays >= 0 ? llDays : llDays - 146096) / 146097;
    int64_t llDayOfEra = llDays - llEra * 146097;
    int64_t llYearOfEra =
        (llDayOfEra - llDayOfEra / 1460 + llDayOfEra / 36524 - llDayOfEra / 146096) / 365;
    int64_t llDayOfYear = llDayOfEra - (365 * llYearOfEra + llYearOfEra / 4 - llYearOfEra / 100);
    int64_t llMonthIndex = (5 * llDayOfYear + 2) / 153;
    int64_t llMonth = llMonthIndex < 10 ? llMonthIndex + 3 : llMonthIndex - 9;
    rTime.wYear = static_cast<WORD>(llYearOfEra + llEra * 400 + (llMonth <= 2 ? 1 : 0));
    rTime.wMonth = static_cast<WORD>(llMonth);
    rTime.wDay = static_cast<WORD>(llDayOfYear - (153 * llMonthIndex + 2) / 5 + 1);
}

// Splits 100 ns intervals since 1601-01-01 UTC into calendar fields.
void systemTimeFromTicks(uint64_t ullTicks, SYSTEMTIME& rTime)
{
    uint64_t ullMilliseconds = ullTicks / 10000;
    uint64_t ullSeconds = ullMilliseconds / 1000;
    uint64_t ullDays = ullSeconds / 86400;
    uint64_t ullSecondOfDay = ullSeconds % 86400;
    civilFromDays(static_cast<int64_t>(ullDays) - c_llDaysFrom1601To1970, rTime);
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
