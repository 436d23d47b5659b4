// Time scales, day counts and the base system time that stamps follow.
#include "FakeClock.h"
#include "Nox_Tim/NOX_TIM.h"

#include <gtest/gtest.h>

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
    const std::pair<double, double> c_aDates[] = {
        {utc(2000, 1, 1).toDayCount().m_dDays, 51544.0},
        {utc(1980, 1, 6).toDayCount().m_dDays, 44244.0},
        {utc(1858, 11, 17).toDayCount().m_dDays, 0.0},
        {utc(2000, 2, 29, 12).toDayCount().m_dDays, 51603.5},
        {utc(1999, 12, 31, 23, 59, 59, 99).toDayCount().m_dDays, 51543.0 + 8639999.0 / 8640000.0},
        // GPS week 0 starts on 6 January 1980.
        {GpsTimeC(0, 0).toDayCount().m_dDays, 44244.0},
        {GpsTimeC(1, 43200000).toDayCount().m_dDays, 44251.5},
    };
    for (const auto& [dDays, dExpected] : c_aDates) {
        EXPECT_NEAR(dDays, dExpected, 1e-9) << std::to_string(dExpected);
    }
}

TEST(TimeScale, ConvertsBothWaysAroundInsertedAndDroppedLeapSeconds)
{
    const int64_t c_llChange = 1000LL * 604800000 + 100000;
    // Milliseconds from the change instant: before conversion, after it, and
    // after converting back. An inserted second of GPS time shows as the change
    // instant; the labels of a dropped second have no GPS time and take the
    // change instant's. Every other value makes the round trip exactly.
    const struct
    {
        int32_t nBefore, nAfter;
        TimeScaleE eFrom;
        int64_t llFrom, llTo, llBack;
    } c_aCases[] = {
        // Inserted.
        {15, 16, TS_GPS, 14999, -1, 14999},
        {15, 16, TS_GPS, 15000, 0, 15000},
        {15, 16, TS_GPS, 16000, 0, 15000},
        {15, 16, TS_GPS, 17000, 1000, 17000},
        {15, 16, TS_UTC, 0, 15000, 0},
        {15, 16, TS_UTC, 1, 16001, 1},
        {15, 16, TS_UTC, 1000, 17000, 1000},
        // Dropped.
        {18, 17, TS_GPS, 17999, -1, 17999},
        {18, 17, TS_GPS, 18000, 0, 18000},
        {18, 17, TS_GPS, 18001, 1001, 18001},
        {18, 17, TS_UTC, 0, 18000, 0},
        {18, 17, TS_UTC, 1, 18000, 0},
        {18, 17, TS_UTC, 1000, 18000, 0},
        {18, 17, TS_UTC, 1001, 18001, 1001},
    };
    const LeapSecondTableS saved = getLeapSecondTable();
    for (const auto& test : c_aCases) {
        setLeapSecondTable(LeapSecondTableS{test.nBefore, test.nAfter, GpsTimeC(1000, 100000)});
        const int64_t llFrom = c_llChange + test.llFrom;
        GpsTimeC time(static_cast<int32_t>(llFrom / 604800000),
                      static_cast<uint32_t>(llFrom % 604800000), test.eFrom);
        for (int64_t llExpected : {test.llTo, test.llBack}) {
            time.convertTo(time.m_eScale == TS_GPS ? TS_UTC : TS_GPS);
            EXPECT_EQ(time.m_nWeek * 604800000LL + time.m_ulGPSmsecs, c_llChange + llExpected)
                << test.nBefore << "->" << test.nAfter << " from " << test.llFrom;
        }
        EXPECT_EQ(time.m_eScale, test.eFrom);
    }
    setLeapSecondTable(saved);
}

TEST(TimeScale, LaterThanComparesWholeSecondsOnOneScale)
{
    const std::tuple<CalendarTimeC, CalendarTimeC, bool> c_aCases[] = {
        {utc(2020, 5, 5, 12, 0, 0, 99), utc(2020, 5, 5, 12, 0, 0, 1), false},
        {utc(2020, 5, 5, 12, 0, 1), utc(2020, 5, 5, 12, 0, 0, 99), true},
        {utc(2021, 1, 1), utc(2020, 12, 31, 23, 59, 59), true},
        // 12:00:10 GPS is 11:59:55 UTC.
        {utc(2020, 5, 5, 12), CalendarTimeC(2020, 5, 5, 12, 0, 10, 0, TS_GPS), true},
    };
    for (const auto& [a, b, bLater] : c_aCases) {
        EXPECT_EQ(isLaterThan(a, b), bLater) << fields(a) << " vs " << fields(b);
    }
}

// ------------------------------------------------------------ base system time

// Each row is a sequence of requests; the wall clock only counts when the base
// is taken again.
TEST(BaseTimeTest, AdvancesByTicksImmuneToWallClockChanges)
{
    using StepS = std::tuple<DWORD, WORD, const char*, CalendarTimeC>;
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
        // Ticks, the wall clock's hour, what is printed and the stamp.
        for (const auto& [dwTicks, wWallHour, szPrinted, expected] : c.vecSteps) {
            FakeClockS::s_stWallClock.wHour = wWallHour;
            FakeClockS::s_dwTicks = dwTicks;
            testing::internal::CaptureStdout();
            const CalendarTimeC stamp = getCurrentTime(TS_UTC);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), szPrinted) << c.szName;
            EXPECT_EQ(fields(stamp), fields(expected)) << c.szName;
        }
        EXPECT_EQ(FakeClockS::s_nClockReads, c.nClockReads) << c.szName;
    }
    setTimeSources(nullptr, nullptr);
}

} // namespace
