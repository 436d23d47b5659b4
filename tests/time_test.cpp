#include "FakeClock.h"
#include "Nox_Tim/NOX_TIM.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace NOX::TIM;

namespace {

std::string fields(const CalendarTimeC& time)
{
    char szText[40];
    std::snprintf(szText, sizeof(szText), "%04u-%02u-%02u %02u:%02u:%02u.%02u s%d", time.m_unYear,
                  time.m_unMonth, time.m_unDay, time.m_unHour, time.m_unMinute, time.m_unSecond,
                  time.m_unHundredths, static_cast<int>(time.m_eScale));
    return szText;
}

CalendarTimeC utc(uint16_t unYear, uint8_t unMonth, uint8_t unDay, uint8_t unHour = 0,
                  uint8_t unMinute = 0, uint8_t unSecond = 0, uint8_t unHundredths = 0)
{
    return CalendarTimeC(unYear, unMonth, unDay, unHour, unMinute, unSecond, unHundredths, TS_UTC);
}

TEST(TimeDayCount, KnownDates)
{
    const struct
    {
        CalendarTimeC time;
        double dDays;
    } c_aDates[] = {
        {utc(2000, 1, 1), 51544.0},
        {utc(1980, 1, 6), 44244.0},
        {utc(1858, 11, 17), 0.0},
        {utc(2000, 2, 29, 12), 51603.5},
        {utc(1999, 12, 31, 23, 59, 59, 99), 51543.0 + 8639999.0 / 8640000.0},
    };
    for (const auto& date : c_aDates) {
        EXPECT_NEAR(date.time.toDayCount().m_dDays, date.dDays, 1e-9) << fields(date.time);
    }
    // GPS week 0 starts on 6 January 1980.
    EXPECT_EQ(GpsTimeC(0, 0).toDayCount().m_dDays, 44244.0);
    EXPECT_EQ(GpsTimeC(1, 43200000).toDayCount().m_dDays, 44251.5);
}

TEST(TimeDayCount, CalendarRoundTripsThroughDayCountAndGpsTime)
{
    std::mt19937 generator(20240611);
    std::uniform_int_distribution<int64_t> hundredths(0, 300LL * 365 * 8640000);
    for (int nCase = 0; nCase < 20000; ++nCase) {
        // Start from a day count so every field combination is a real date.
        CalendarTimeC time =
            DayCountC(15020.0 + hundredths(generator) / 8640000.0, TS_UTC).toCalendar();
        ASSERT_TRUE(time.isValid()) << fields(time);
        ASSERT_EQ(fields(time.toDayCount().toCalendar()), fields(time));
        ASSERT_EQ(fields(time.toGpsTime().toCalendar()), fields(time));
    }
}

TEST(TimeScale, GpsToUtcAroundAnInsertedLeapSecond)
{
    const int64_t c_llChange = 1000LL * 604800000 + 100000;
    const LeapSecondTableS c_saved = getLeapSecondTable();
    LeapSecondTableS table;
    table.nOffsetBefore = 15;
    table.nOffsetAfter = 16;
    table.changeInstant = GpsTimeC(1000, 100000);
    setLeapSecondTable(table);

    // Milliseconds from the change instant, before and after conversion.
    const struct
    {
        TimeScaleE eFrom;
        int64_t llFrom;
        int64_t llTo;
    } c_aCases[] = {
        {TS_GPS, 14999, -1},   {TS_GPS, 15000, 0},     {TS_GPS, 15500, 0}, {TS_GPS, 16000, 0},
        {TS_GPS, 17000, 1000}, {TS_UTC, -1000, 14000}, {TS_UTC, 0, 15000}, {TS_UTC, 1000, 17000},
    };
    for (const auto& test : c_aCases) {
        int64_t llFrom = c_llChange + test.llFrom;
        GpsTimeC time(static_cast<int32_t>(llFrom / 604800000),
                      static_cast<uint32_t>(llFrom % 604800000), test.eFrom);
        time.convertTo(test.eFrom == TS_GPS ? TS_UTC : TS_GPS);
        EXPECT_EQ(time.m_nWeek * 604800000LL + time.m_ulGPSmsecs, c_llChange + test.llTo)
            << test.llFrom;
        EXPECT_NE(time.m_eScale, test.eFrom);
    }
    setLeapSecondTable(c_saved);
}

TEST(TimeScale, LaterThanComparesWholeSecondsOnOneScale)
{
    const struct
    {
        CalendarTimeC a;
        CalendarTimeC b;
        bool bLater;
    } c_aCases[] = {
        {utc(2020, 5, 5, 12, 0, 0, 99), utc(2020, 5, 5, 12, 0, 0, 1), false},
        {utc(2020, 5, 5, 12, 0, 1), utc(2020, 5, 5, 12, 0, 0, 99), true},
        {utc(2021, 1, 1), utc(2020, 12, 31, 23, 59, 59), true},
        // 12:00:10 GPS is 11:59:55 UTC.
        {utc(2020, 5, 5, 12), CalendarTimeC(2020, 5, 5, 12, 0, 10, 0, TS_GPS), true},
    };
    for (const auto& test : c_aCases) {
        EXPECT_EQ(isLaterThan(test.a, test.b), test.bLater)
            << fields(test.a) << " vs " << fields(test.b);
    }
}

// ------------------------------------------------------------ base system time

// Each row is a sequence of requests; the wall clock only counts when the base
// is taken again.
TEST(BaseTimeTest, AdvancesByTicksImmuneToWallClockChanges)
{
    struct StepS
    {
        DWORD dwTicks;
        WORD wWallHour;
        const char* szPrinted;
        CalendarTimeC expected;
    };
    const struct
    {
        const char* szName;
        std::vector<StepS> vecSteps;
        int nClockReads;
    } c_aCases[] = {
        {"wall clock moved",
         {{1000, 12, "", utc(2024, 6, 11, 12)}, {2500, 17, "", utc(2024, 6, 11, 12, 0, 1, 50)}},
         1},
        {"tick wrap",
         {{5000, 12, "", utc(2024, 6, 11, 12)},
          {100, 13, "[NOX::TIM] Reset base system time\n", utc(2024, 6, 11, 13)},
          {350, 14, "", utc(2024, 6, 11, 13, 0, 0, 25)}},
         2},
    };
    for (const auto& c : c_aCases) {
        FakeClockS::install(2024, 6, 11);
        for (const StepS& step : c.vecSteps) {
            FakeClockS::s_stWallClock.wHour = step.wWallHour;
            FakeClockS::s_dwTicks = step.dwTicks;
            testing::internal::CaptureStdout();
            CalendarTimeC stamp = getCurrentTime(TS_UTC);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), step.szPrinted) << c.szName;
            EXPECT_EQ(fields(stamp), fields(step.expected)) << c.szName;
        }
        EXPECT_EQ(FakeClockS::s_nClockReads, c.nClockReads) << c.szName;
    }
    setTimeSources(nullptr, nullptr);
}

} // namespace
