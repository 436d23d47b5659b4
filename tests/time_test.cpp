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

// Sets a leap second at the change instant for the life of the object.
struct ScopedLeapSecondS
{
    ScopedLeapSecondS(int32_t nBefore, int32_t nAfter, const GpsTimeC& changeInstant)
    {
        setLeapSecondTable(LeapSecondTableS{nBefore, nAfter, changeInstant});
    }
    ~ScopedLeapSecondS() { setLeapSecondTable(m_saved); }
    LeapSecondTableS m_saved = getLeapSecondTable();
};

TEST(TimeScale, ConvertsBothWaysAroundInsertedAndDroppedLeapSeconds)
{
    const int64_t c_llChange = 1000LL * 604800000 + 100000;
    // Milliseconds from the change instant: before conversion, after it, and
    // after converting back. An inserted second of GPS time shows as the change
    // instant; the labels of a dropped second have no GPS time and take the
    // change instant's. Every other value makes the round trip exactly.
    const struct
    {
        int32_t nBefore;
        int32_t nAfter;
        TimeScaleE eFrom;
        int64_t llFrom;
        int64_t llTo;
        int64_t llBack;
    } c_aCases[] = {
        // Inserted.
        {15, 16, TS_GPS, 14999, -1, 14999},
        {15, 16, TS_GPS, 15000, 0, 15000},
        {15, 16, TS_GPS, 15500, 0, 15000},
        {15, 16, TS_GPS, 16000, 0, 15000},
        {15, 16, TS_GPS, 17000, 1000, 17000},
        {15, 16, TS_UTC, -1000, 14000, -1000},
        {15, 16, TS_UTC, 0, 15000, 0},
        {15, 16, TS_UTC, 1, 16001, 1},
        {15, 16, TS_UTC, 1000, 17000, 1000},
        // Dropped.
        {18, 17, TS_GPS, 17999, -1, 17999},
        {18, 17, TS_GPS, 18000, 0, 18000},
        {18, 17, TS_GPS, 18001, 1001, 18001},
        {18, 17, TS_GPS, 19000, 2000, 19000},
        {18, 17, TS_UTC, -1000, 17000, -1000},
        {18, 17, TS_UTC, 0, 18000, 0},
        {18, 17, TS_UTC, 1, 18000, 0},
        {18, 17, TS_UTC, 500, 18000, 0},
        {18, 17, TS_UTC, 1000, 18000, 0},
        {18, 17, TS_UTC, 1001, 18001, 1001},
        {18, 17, TS_UTC, 2000, 19000, 2000},
    };
    for (const auto& test : c_aCases) {
        ScopedLeapSecondS leap(test.nBefore, test.nAfter, GpsTimeC(1000, 100000));
        int64_t llFrom = c_llChange + test.llFrom;
        GpsTimeC time(static_cast<int32_t>(llFrom / 604800000),
                      static_cast<uint32_t>(llFrom % 604800000), test.eFrom);
        time.convertTo(test.eFrom == TS_GPS ? TS_UTC : TS_GPS);
        EXPECT_EQ(time.m_nWeek * 604800000LL + time.m_ulGPSmsecs, c_llChange + test.llTo)
            << test.nBefore << "->" << test.nAfter << " from " << test.llFrom;
        EXPECT_NE(time.m_eScale, test.eFrom);
        time.convertTo(test.eFrom);
        EXPECT_EQ(time.m_nWeek * 604800000LL + time.m_ulGPSmsecs, c_llChange + test.llBack)
            << test.nBefore << "->" << test.nAfter << " back from " << test.llFrom;
    }
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
        {"day-old base, noticed once per base",
         {{1000, 12, "", utc(2024, 6, 11, 12)},
          {86401010, 12, "[NOX::TIM] Hoops wrong correction!\n", utc(2024, 6, 12, 12, 0, 0, 1)},
          {86402010, 12, "", utc(2024, 6, 12, 12, 0, 1, 1)},
          {100, 13, "[NOX::TIM] Reset base system time\n", utc(2024, 6, 11, 13)},
          {86400110, 13, "[NOX::TIM] Hoops wrong correction!\n", utc(2024, 6, 12, 13, 0, 0, 1)},
          {86500110, 13, "", utc(2024, 6, 12, 13, 1, 40, 1)}},
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

// Stamps follow the wall clock across both kinds of leap second, except that
// the labels of a dropped second all read as the change instant: they neither
// come back a second early nor step backwards.
TEST(BaseTimeTest, StampsFollowTheClockAcrossALeapSecond)
{
    const CalendarTimeC c_change = utc(2024, 6, 11, 12, 0, 2);
    for (int32_t nAfter : {19, 17}) {
        ScopedLeapSecondS leap(18, nAfter, c_change.toGpsTime());
        FakeClockS::install(2024, 6, 11);
        for (DWORD dwTicks = 1000; dwTicks <= 5000; dwTicks += 50) {
            FakeClockS::s_dwTicks = dwTicks;
            bool bDropped = nAfter < 18 && dwTicks > 3000 && dwTicks <= 4000;
            CalendarTimeC expected =
                bDropped ? c_change
                         : utc(2024, 6, 11, 12, 0, dwTicks / 1000 - 1, dwTicks % 1000 / 10);
            ASSERT_EQ(fields(getCurrentTime(TS_UTC)), fields(expected))
                << "18->" << nAfter << " at tick " << dwTicks;
        }
    }
    setTimeSources(nullptr, nullptr);
}

} // namespace
