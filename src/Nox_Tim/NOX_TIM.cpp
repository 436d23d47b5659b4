#include "Nox_Tim/NOX_TIM.h"

#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "PlatformCivilDate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace {
const char c_szSourceFile[] = "src\\Nox_Tim\\NOX_TIM";
}

namespace NOX {
namespace TIM {

namespace {

const int64_t c_llMsPerSecond = 1000;
const int64_t c_llMsPerDay = 86400000;
const int64_t c_llMsPerWeek = GpsTimeC::c_ulMsecsPerWeek;
const int64_t c_llHundredthsPerDay = 8640000;
const int64_t c_llGpsEpochMjd = 44244;
const int64_t c_llUnixEpochMjd = 40587;
// The wall clock changes its second within one second; the bound only guards
// against a clock that is stuck.
const int c_nMaxResyncReads = 250;
// About 270,000 years either side of 1858: far beyond any date a calendar
// value can hold, well inside what the millisecond arithmetic can.
const double c_dMaxDays = 1e8;
const DWORD c_dwResyncPollMs = 5;

int64_t floorDiv(int64_t llValue, int64_t llDivisor)
{
    int64_t llQuotient = llValue / llDivisor;
    if (llValue % llDivisor != 0 && (llValue < 0) != (llDivisor < 0)) {
        --llQuotient;
    }
    return llQuotient;
}

bool isLeapYear(int32_t nYear)
{
    return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
}

int32_t daysInMonth(int32_t nYear, int32_t nMonth)
{
    static const int32_t c_anDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return nMonth == 2 && isLeapYear(nYear) ? 29 : c_anDays[nMonth - 1];
}

// The whole-day part of the day count formula.
int64_t mjdOfDate(int32_t nYear, int32_t nMonth, int32_t nDay)
{
    if (nMonth < 3) {
        nYear -= 1;
        nMonth += 12;
    }
    int32_t nA = nYear / 100;
    int32_t nB = 2 - nA + nA / 4;
    return static_cast<int64_t>(365.25 * nYear) + static_cast<int64_t>(30.6001 * (nMonth + 1)) +
           nDay + nB - 679006;
}

int64_t mjdOfDate(const CalendarTimeC& time)
{
    return mjdOfDate(time.m_unYear, time.m_unMonth, time.m_unDay);
}

void dateOfMjd(int64_t llMjd, CalendarTimeC& rTime)
{
    const plat::CivilDateS date = plat::civilFromDays(llMjd - c_llUnixEpochMjd);
    rTime.m_unYear = static_cast<uint16_t>(date.m_llYear);
    rTime.m_unMonth = static_cast<uint8_t>(date.m_nMonth);
    rTime.m_unDay = static_cast<uint8_t>(date.m_nDay);
    // MJD 0 was a Wednesday.
    rTime.m_unDayOfWeek = static_cast<uint8_t>(llMjd + 3 - floorDiv(llMjd + 3, 7) * 7 + 1);
}

CalendarTimeC calendarOfHundredths(int64_t llHundredths, TimeScaleE eScale)
{
    int64_t llMjd = floorDiv(llHundredths, c_llHundredthsPerDay);
    int64_t llOfDay = llHundredths - llMjd * c_llHundredthsPerDay;
    CalendarTimeC time;
    dateOfMjd(llMjd, time);
    time.m_unHour = static_cast<uint8_t>(llOfDay / 360000);
    time.m_unMinute = static_cast<uint8_t>(llOfDay / 6000 % 60);
    time.m_unSecond = static_cast<uint8_t>(llOfDay / 100 % 60);
    time.m_unHundredths = static_cast<uint8_t>(llOfDay % 100);
    time.m_eScale = eScale;
    return time;
}

// Values on every scale are handled as milliseconds since the GPS epoch,
// counted in the value's own scale.
int64_t msOf(const CalendarTimeC& time)
{
    return (mjdOfDate(time) - c_llGpsEpochMjd) * c_llMsPerDay + time.m_unHour * 3600000LL +
           time.m_unMinute * 60000LL + time.m_unSecond * c_llMsPerSecond +
           time.m_unHundredths * 10LL;
}

int64_t msOf(const GpsTimeC& time)
{
    return static_cast<int64_t>(time.m_nWeek) * c_llMsPerWeek + time.m_ulGPSmsecs;
}

bool isUsable(double dDays)
{
    return std::isfinite(dDays) && std::fabs(dDays) < c_dMaxDays;
}

int64_t msOf(double dDays)
{
    return std::llround((dDays - static_cast<double>(c_llGpsEpochMjd)) * c_llMsPerDay);
}

CalendarTimeC calendarOfMs(int64_t llMs, TimeScaleE eScale)
{
    // Half a hundredth rounds up.
    return calendarOfHundredths(floorDiv(llMs + 5, 10) + c_llGpsEpochMjd * c_llHundredthsPerDay,
                                eScale);
}

GpsTimeC gpsOfMs(int64_t llMs, TimeScaleE eScale)
{
    int64_t llWeek = floorDiv(llMs, c_llMsPerWeek);
    return GpsTimeC(static_cast<int32_t>(llWeek),
                    static_cast<uint32_t>(llMs - llWeek * c_llMsPerWeek), eScale);
}

NOX::TSK::CriticalSectionC& leapTableLock()
{
    // Never destroyed: stamps may be taken during static destruction.
    static NOX::TSK::CriticalSectionC* s_pLock = new NOX::TSK::CriticalSectionC;
    return *s_pLock;
}

LeapSecondTableS& leapTable()
{
    static LeapSecondTableS s_table;
    return s_table;
}

// The change instant on the GPS scale.
int64_t gpsOfChange(const LeapSecondTableS& table)
{
    return msOf(table.changeInstant) + table.nOffsetBefore * c_llMsPerSecond;
}

int64_t gpsToUtc(int64_t llGps, const LeapSecondTableS& table)
{
    int64_t llChange = msOf(table.changeInstant);
    int64_t llWindowStart = gpsOfChange(table);
    int64_t llInserted = table.nOffsetAfter - table.nOffsetBefore;
    // The end of the inserted seconds.
    int64_t llWindowEnd = llWindowStart + (llInserted > 0 ? llInserted * c_llMsPerSecond : 0);
    if (llGps > llWindowStart && llGps < llWindowEnd) {
        return llChange;
    }
    int64_t llOffset = llGps <= llWindowStart ? table.nOffsetBefore : table.nOffsetAfter;
    return llGps - llOffset * c_llMsPerSecond;
}

int64_t utcToGps(int64_t llUtc, const LeapSecondTableS& table)
{
    if (llUtc <= msOf(table.changeInstant)) {
        return llUtc + table.nOffsetBefore * c_llMsPerSecond;
    }
    // The labels of dropped seconds follow the change instant but no GPS time
    // maps to them; they stay at the change instant rather than step back.
    return std::max(llUtc + table.nOffsetAfter * c_llMsPerSecond, gpsOfChange(table));
}

// The platform layer offers no time-zone bias, so local time is UTC.
int64_t localBiasMs()
{
    return 0;
}

bool isKnownScale(TimeScaleE eScale)
{
    return eScale == TS_GPS || eScale == TS_UTC || eScale == TS_LOCAL;
}

int64_t convertMs(int64_t llMs, TimeScaleE eFrom, TimeScaleE eTo)
{
    if (eFrom == eTo || !isKnownScale(eFrom) || !isKnownScale(eTo)) {
        return llMs;
    }
    LeapSecondTableS table = getLeapSecondTable();
    int64_t llUtc = llMs;
    if (eFrom == TS_GPS) {
        llUtc = gpsToUtc(llMs, table);
    } else if (eFrom == TS_LOCAL) {
        llUtc = llMs - localBiasMs();
    }
    if (eTo == TS_GPS) {
        return utcToGps(llUtc, table);
    }
    return eTo == TS_LOCAL ? llUtc + localBiasMs() : llUtc;
}

// ------------------------------------------------------------ base system time

DWORD platformTicks()
{
    return GetTickCount();
}

void platformWallClock(SYSTEMTIME* pTime)
{
    GetSystemTime(pTime);
}

struct BaseTimeS
{
    NOX::TSK::CriticalSectionC m_Lock;
    // UTC day count; 0 while no base is taken.
    double m_dBase = 0.0;
    DWORD m_dwBaseTick = 0;
    DWORD m_dwPreviousTick = 0;
    // The day-old notice is printed once per base, not on every stamp.
    bool m_bStaleNoticed = false;
    TickSourceT m_pfnTicks = &platformTicks;
    WallClockSourceT m_pfnWallClock = &platformWallClock;
};

BaseTimeS& baseTime()
{
    // Never destroyed: stamps may be taken during static destruction.
    static BaseTimeS* s_pBase = new BaseTimeS;
    return *s_pBase;
}

void printNotice(const char* szNotice)
{
    std::fputs(szNotice, stdout);
    std::fflush(stdout);
}

CalendarTimeC readWallClock(WallClockSourceT pfnWallClock)
{
    SYSTEMTIME sysTime = {};
    pfnWallClock(&sysTime);
    CalendarTimeC time(static_cast<uint16_t>(sysTime.wYear), static_cast<uint8_t>(sysTime.wMonth),
                       static_cast<uint8_t>(sysTime.wDay), static_cast<uint8_t>(sysTime.wHour),
                       static_cast<uint8_t>(sysTime.wMinute), static_cast<uint8_t>(sysTime.wSecond),
                       static_cast<uint8_t>(sysTime.wMilliseconds / 10), TS_UTC);
    time.m_unDayOfWeek = static_cast<uint8_t>(sysTime.wDayOfWeek + 1);
    return time;
}

CalendarTimeC takeBase(BaseTimeS& rBase, DWORD dwNow)
{
    CalendarTimeC result = readWallClock(rBase.m_pfnWallClock);
    rBase.m_dBase = result.toDayCount().m_dDays;
    rBase.m_dwBaseTick = dwNow;
    rBase.m_bStaleNoticed = false;
    result.convertTo(TS_GPS);
    return result;
}

CalendarTimeC extrapolateBase(BaseTimeS& rBase, DWORD dwNow)
{
    double dElapsedDays = static_cast<double>(dwNow - rBase.m_dwBaseTick) / 1000.0 / 86400.0;
    if (dElapsedDays > 1.0 && !rBase.m_bStaleNoticed) {
        rBase.m_bStaleNoticed = true;
        printNotice("[NOX::TIM] Hoops wrong correction!\n");
    }
    DayCountC now(rBase.m_dBase + dElapsedDays, TS_UTC);
    now.convertTo(TS_GPS);
    return now.toCalendar();
}

// One request for the base system time; the caller holds the lock.
CalendarTimeC requestBaseTime(BaseTimeS& rBase)
{
    DWORD dwNow = rBase.m_pfnTicks();
    if (dwNow < rBase.m_dwPreviousTick) {
        rBase.m_dBase = 0.0;
        printNotice("[NOX::TIM] Reset base system time\n");
    }
    CalendarTimeC result =
        rBase.m_dBase == 0.0 ? takeBase(rBase, dwNow) : extrapolateBase(rBase, dwNow);
    rBase.m_dwPreviousTick = dwNow;
    result.m_unDayOfWeek = 0;
    return result;
}

} // namespace

// ------------------------------------------------------------ calendar values

CalendarTimeC::CalendarTimeC(uint16_t unYear, uint8_t unMonth, uint8_t unDay, uint8_t unHour,
                             uint8_t unMinute, uint8_t unSecond, uint8_t unHundredths,
                             TimeScaleE eScale)
    : m_unYear(unYear), m_unMonth(unMonth), m_unDay(unDay), m_unHour(unHour), m_unMinute(unMinute),
      m_unSecond(unSecond), m_unHundredths(unHundredths), m_eScale(eScale)
{}

DayCountC CalendarTimeC::toDayCount() const
{
    double dDays = static_cast<double>(mjdOfDate(*this)) + m_unHour / 24.0 + m_unMinute / 1440.0 +
                   m_unSecond / 86400.0 + m_unHundredths / 8640000.0;
    return DayCountC(dDays, m_eScale);
}

GpsTimeC CalendarTimeC::toGpsTime() const
{
    return gpsOfMs(msOf(*this), m_eScale);
}

void CalendarTimeC::convertTo(TimeScaleE eScale)
{
    // An invalid value has no instant to convert; it stays as it is.
    if (eScale == m_eScale || !isValid() || !isKnownScale(eScale)) {
        return;
    }
    *this = calendarOfMs(convertMs(msOf(*this), m_eScale, eScale), eScale);
}

bool CalendarTimeC::isValid() const
{
    return m_unYear >= 1 && m_unMonth >= 1 && m_unMonth <= 12 && m_unDay >= 1 &&
           m_unDay <= daysInMonth(m_unYear, m_unMonth) && m_unHour < 24 && m_unMinute < 60 &&
           m_unSecond < 60 && m_unHundredths < 100;
}

// ------------------------------------------------------------ day counts

CalendarTimeC DayCountC::toCalendar() const
{
    if (!isUsable(m_dDays)) {
        CalendarTimeC invalid;
        invalid.m_eScale = m_eScale;
        return invalid;
    }
    // Rounding the whole count to hundredths first lets a carry reach the
    // seconds, minutes and the date.
    return calendarOfHundredths(std::llround(m_dDays * static_cast<double>(c_llHundredthsPerDay)),
                                m_eScale);
}

GpsTimeC DayCountC::toGpsTime() const
{
    if (!isUsable(m_dDays)) {
        return GpsTimeC(0, 0, m_eScale);
    }
    return gpsOfMs(msOf(m_dDays), m_eScale);
}

void DayCountC::convertTo(TimeScaleE eScale)
{
    if (eScale == m_eScale || !isKnownScale(eScale) || !isUsable(m_dDays)) {
        return;
    }
    int64_t llMs = msOf(m_dDays);
    int64_t llShift = convertMs(llMs, m_eScale, eScale) - llMs;
    m_dDays += static_cast<double>(llShift) / static_cast<double>(c_llMsPerDay);
    m_eScale = eScale;
}

// ------------------------------------------------------------ GPS time

GpsTimeC::GpsTimeC(int32_t nWeek, uint32_t ulGPSmsecs, TimeScaleE eScale)
    : m_nWeek(nWeek), m_ulGPSmsecs(ulGPSmsecs), m_eScale(eScale)
{
    NOX_ASSERT(m_ulGPSmsecs < 604800000);
    if (m_ulGPSmsecs >= c_ulMsecsPerWeek) {
        m_nWeek += static_cast<int32_t>(m_ulGPSmsecs / c_ulMsecsPerWeek);
        m_ulGPSmsecs %= c_ulMsecsPerWeek;
    }
}

DayCountC GpsTimeC::toDayCount() const
{
    return DayCountC(static_cast<double>(c_llGpsEpochMjd) + 7.0 * m_nWeek +
                         m_ulGPSmsecs / 1000.0 / 86400.0,
                     m_eScale);
}

CalendarTimeC GpsTimeC::toCalendar() const
{
    return calendarOfMs(msOf(*this), m_eScale);
}

void GpsTimeC::convertTo(TimeScaleE eScale)
{
    if (eScale == m_eScale || !isKnownScale(eScale)) {
        return;
    }
    *this = gpsOfMs(convertMs(msOf(*this), m_eScale, eScale), eScale);
}

bool GpsTimeC::operator<(const GpsTimeC& other) const
{
    return std::tie(m_nWeek, m_ulGPSmsecs) < std::tie(other.m_nWeek, other.m_ulGPSmsecs);
}

bool GpsTimeC::operator==(const GpsTimeC& other) const
{
    return m_nWeek == other.m_nWeek && m_ulGPSmsecs == other.m_ulGPSmsecs;
}

// ------------------------------------------------------------ leap seconds

LeapSecondTableS getLeapSecondTable()
{
    NOX::TSK::GuardC guard(leapTableLock());
    return leapTable();
}

void setLeapSecondTable(const LeapSecondTableS& table)
{
    NOX::TSK::GuardC guard(leapTableLock());
    leapTable() = table;
}

// ------------------------------------------------------------ current time

CalendarTimeC getCurrentTime()
{
    BaseTimeS& rBase = baseTime();
    NOX::TSK::GuardC guard(rBase.m_Lock);
    return requestBaseTime(rBase);
}

GpsTimeC getCurrentGpsTime()
{
    return getCurrentTime().toGpsTime();
}

DayCountC getCurrentDayCount(TimeScaleE eScale)
{
    DayCountC now = getCurrentTime().toDayCount();
    now.convertTo(eScale);
    return now;
}

CalendarTimeC getCurrentTime(TimeScaleE eScale)
{
    CalendarTimeC now = getCurrentTime();
    now.convertTo(eScale);
    now.m_unDayOfWeek = 0;
    return now;
}

CalendarTimeC resynchronise()
{
    BaseTimeS& rBase = baseTime();
    WallClockSourceT pfnWallClock;
    {
        NOX::TSK::GuardC guard(rBase.m_Lock);
        rBase.m_dBase = 0.0;
        pfnWallClock = rBase.m_pfnWallClock;
    }
    // Polled without the lock so that stamps go on meanwhile.
    uint8_t unFirstSecond = readWallClock(pfnWallClock).m_unSecond;
    for (int nRead = 0; nRead < c_nMaxResyncReads; ++nRead) {
        Sleep(c_dwResyncPollMs);
        if (readWallClock(pfnWallClock).m_unSecond != unFirstSecond) {
            break;
        }
    }
    NOX::TSK::GuardC guard(rBase.m_Lock);
    // A stamp taken while polling may have set a base in mid-second.
    rBase.m_dBase = 0.0;
    return requestBaseTime(rBase);
}

bool isLaterThan(const CalendarTimeC& a, const CalendarTimeC& b)
{
    CalendarTimeC other = b;
    other.convertTo(a.m_eScale);
    return std::tie(a.m_unYear, a.m_unMonth, a.m_unDay, a.m_unHour, a.m_unMinute, a.m_unSecond) >
           std::tie(other.m_unYear, other.m_unMonth, other.m_unDay, other.m_unHour,
                    other.m_unMinute, other.m_unSecond);
}

uint16_t getDayOfYear(const CalendarTimeC& time)
{
    if (!time.isValid()) {
        return 0;
    }
    return static_cast<uint16_t>(mjdOfDate(time) - mjdOfDate(time.m_unYear, 1, 1) + 1);
}

void setTimeSources(TickSourceT pfnTicks, WallClockSourceT pfnWallClock)
{
    BaseTimeS& rBase = baseTime();
    NOX::TSK::GuardC guard(rBase.m_Lock);
    rBase.m_pfnTicks = pfnTicks != nullptr ? pfnTicks : &platformTicks;
    rBase.m_pfnWallClock = pfnWallClock != nullptr ? pfnWallClock : &platformWallClock;
    rBase.m_dBase = 0.0;
    rBase.m_dwPreviousTick = 0;
}

} // namespace TIM
} // namespace NOX
