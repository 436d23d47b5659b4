// Time values on three scales (GPS time, UTC, local time), day counts, and
// the base system time that stamps log records: the wall clock is read once
// and then advanced by the millisecond tick counter, so stamps are cheap,
// steady and immune to later changes of the clock.
#pragma once

#include "Platform.h"

#include <cstdint>

namespace NOX {
namespace TIM {

enum TimeScaleE : int32_t
{
    TS_GPS = 0,
    TS_UTC = 1,
    TS_LOCAL = 2
};

class DayCountC;
class GpsTimeC;

// A calendar date-time; a new value is all zero on the local scale.
class CalendarTimeC
{
public:
    CalendarTimeC() = default;
    CalendarTimeC(uint16_t unYear, uint8_t unMonth, uint8_t unDay, uint8_t unHour, uint8_t unMinute,
                  uint8_t unSecond, uint8_t unHundredths, TimeScaleE eScale);

    DayCountC toDayCount() const;
    GpsTimeC toGpsTime() const;
    // Converts this value in place to another scale; an invalid value stays
    // as it is.
    void convertTo(TimeScaleE eScale);
    // A real date (Gregorian, year 1 or later) and time of day.
    bool isValid() const;

    uint16_t m_unYear = 0;
    uint8_t m_unMonth = 0;
    uint8_t m_unDay = 0;
    uint8_t m_unHour = 0;
    uint8_t m_unMinute = 0;
    uint8_t m_unSecond = 0;
    uint8_t m_unHundredths = 0;
    // 1 (Sunday) to 7; 0 when not known.
    uint8_t m_unDayOfWeek = 0;
    TimeScaleE m_eScale = TS_LOCAL;
};

// The Modified Julian Day with the time of day as fraction.
class DayCountC
{
public:
    DayCountC() = default;
    DayCountC(double dDays, TimeScaleE eScale) : m_dDays(dDays), m_eScale(eScale) {}

    // Rounds to the nearest hundredth of a second. A count that is not finite
    // or lies beyond any calendar gives the all-zero (invalid) value.
    CalendarTimeC toCalendar() const;
    // Rounds to the nearest millisecond.
    GpsTimeC toGpsTime() const;
    void convertTo(TimeScaleE eScale);

    double m_dDays = 0.0;
    TimeScaleE m_eScale = TS_UTC;
};

class GpsTimeC
{
public:
    static constexpr uint32_t c_ulMsecsPerWeek = 604800000u;

    GpsTimeC() = default;
    GpsTimeC(int32_t nWeek, uint32_t ulGPSmsecs, TimeScaleE eScale = TS_GPS);

    DayCountC toDayCount() const;
    CalendarTimeC toCalendar() const;
    void convertTo(TimeScaleE eScale);

    bool operator<(const GpsTimeC& other) const;
    bool operator==(const GpsTimeC& other) const;

    int32_t m_nWeek = 0;
    uint32_t m_ulGPSmsecs = 0;
    TimeScaleE m_eScale = TS_GPS;
};

// The GPS-UTC offset in whole seconds before and after a change instant.
struct LeapSecondTableS
{
    int32_t nOffsetBefore = 15;
    int32_t nOffsetAfter = 15;
    GpsTimeC changeInstant;
};
LeapSecondTableS getLeapSecondTable();
void setLeapSecondTable(const LeapSecondTableS& table);

// The base system time, as a calendar value on the GPS scale.
CalendarTimeC getCurrentTime();
GpsTimeC getCurrentGpsTime();
DayCountC getCurrentDayCount(TimeScaleE eScale);
// The base system time as a calendar value on the requested scale.
CalendarTimeC getCurrentTime(TimeScaleE eScale);
// Discards the base and takes a new one right after a second boundary.
CalendarTimeC resynchronise();

// Compares down to the second; hundredths are ignored, equal is not later.
bool isLaterThan(const CalendarTimeC& a, const CalendarTimeC& b);

// 1 to 366 for a valid calendar value, 0 otherwise.
uint16_t getDayOfYear(const CalendarTimeC& time);

// For tests: replaces the tick counter and the wall clock (null restores the
// platform's) and discards the base.
typedef DWORD (*TickSourceT)();
typedef void (*WallClockSourceT)(SYSTEMTIME*);
void setTimeSources(TickSourceT pfnTicks, WallClockSourceT pfnWallClock);

} // namespace TIM
} // namespace NOX
