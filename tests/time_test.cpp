#include "FakeClock.h"
#include "Nox_Tim/NOX_TIM.h"
#include "PanicRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <thread>
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

struct KnownDateS
{
    CalendarTimeC time;
    double dDays;
    uint8_t unDayOfWeek;
    uint16_t unDayOfYear;
};

TEST(TimeDayCount, KnownDates)
{
    const KnownDateS c_aDates[] = {
        {utc(2000, 1, 1), 51544.0, 7, 1},
        {utc(1980, 1, 6), 44244.0, 1, 6},
        {utc(1858, 11, 17), 0.0, 4, 321},
        {utc(1970, 1, 1), 40587.0, 5, 1},
        {utc(2000, 2, 29, 12), 51603.5, 3, 60},
        {utc(2024, 3, 1, 6), 60370.25, 6, 61},
        {utc(2000, 12, 31, 18), 51909.75, 1, 366},
        {utc(1999, 12, 31, 23, 59, 59, 99), 51543.0 + 8639999.0 / 8640000.0, 6, 365},
    };
    for (const KnownDateS& date : c_aDates) {
        SCOPED_TRACE(fields(date.time));
        DayCountC dayCount = date.time.toDayCount();
        EXPECT_NEAR(dayCount.m_dDays, date.dDays, 1e-9);
        EXPECT_EQ(dayCount.m_eScale, TS_UTC);
        EXPECT_EQ(dayCount.toCalendar().m_unDayOfWeek, date.unDayOfWeek);
        EXPECT_EQ(getDayOfYear(date.time), date.unDayOfYear);
    }
    EXPECT_EQ(GpsTimeC(0, 0).toDayCount().m_dDays, 44244.0);
    EXPECT_EQ(GpsTimeC(1, 43200000).toDayCount().m_dDays, 44251.5);
    EXPECT_EQ(getDayOfYear(CalendarTimeC()), 0);
    EXPECT_FALSE(DayCountC(1e300, TS_UTC).toCalendar().isValid());
    EXPECT_FALSE(DayCountC(std::nan(""), TS_UTC).toCalendar().isValid());
    // Milliseconds round to the nearest hundredth, as day counts do.
    EXPECT_EQ(fields(GpsTimeC(0, 1995).toCalendar()),
              fields(CalendarTimeC(1980, 1, 6, 0, 0, 2, 0, TS_GPS)));
    EXPECT_EQ(fields(GpsTimeC(0, 1994).toCalendar()),
              fields(CalendarTimeC(1980, 1, 6, 0, 0, 1, 99, TS_GPS)));
}

void expectRoundTrip(const CalendarTimeC& time)
{
    ASSERT_TRUE(time.isValid()) << fields(time);
    EXPECT_EQ(fields(time.toDayCount().toCalendar()), fields(time));
    EXPECT_EQ(fields(time.toGpsTime().toCalendar()), fields(time));
}

TEST(TimeDayCount, CalendarRoundTripsThroughDayCountAndGpsTime)
{
    std::mt19937 generator(20240611);
    std::uniform_int_distribution<int64_t> hundredths(0, 300LL * 365 * 8640000);
    for (int nCase = 0; nCase < 20000; ++nCase) {
        // Start from a day count so every field combination is a real date.
        DayCountC dayCount(15020.0 + hundredths(generator) / 8640000.0, TS_UTC);
        expectRoundTrip(dayCount.toCalendar());
    }
}

// Covers the last hundredth of every month end and leap day for two centuries.
TEST(TimeDayCount, EveryDayIsTheNextDate)
{
    uint8_t unDayOfWeek = DayCountC(15019.0, TS_UTC).toCalendar().m_unDayOfWeek;
    for (int nMjd = 15020; nMjd < 88000; ++nMjd) {
        CalendarTimeC midnight = DayCountC(nMjd, TS_UTC).toCalendar();
        CalendarTimeC last = DayCountC(nMjd + 8639999.0 / 8640000.0, TS_UTC).toCalendar();
        ASSERT_TRUE(midnight.isValid()) << nMjd;
        ASSERT_EQ(midnight.toDayCount().m_dDays, nMjd) << fields(midnight);
        ASSERT_EQ(fields(last), fields(utc(midnight.m_unYear, midnight.m_unMonth, midnight.m_unDay,
                                           23, 59, 59, 99)));
        expectRoundTrip(last);
        ASSERT_EQ(midnight.m_unDayOfWeek, unDayOfWeek % 7 + 1) << fields(midnight);
        unDayOfWeek = midnight.m_unDayOfWeek;
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
    struct CaseS
    {
        TimeScaleE eFrom;
        int64_t llFrom;
        int64_t llTo;
    };
    const CaseS c_aCases[] = {
        {TS_GPS, 14999, -1},   {TS_GPS, 15000, 0},     {TS_GPS, 15500, 0}, {TS_GPS, 16000, 0},
        {TS_GPS, 17000, 1000}, {TS_UTC, -1000, 14000}, {TS_UTC, 0, 15000}, {TS_UTC, 1000, 17000},
    };
    for (const CaseS& test : c_aCases) {
        SCOPED_TRACE(test.llFrom);
        int64_t llFrom = c_llChange + test.llFrom;
        GpsTimeC time(static_cast<int32_t>(llFrom / 604800000),
                      static_cast<uint32_t>(llFrom % 604800000), test.eFrom);
        time.convertTo(test.eFrom == TS_GPS ? TS_UTC : TS_GPS);
        EXPECT_EQ(time.m_nWeek * 604800000LL + time.m_ulGPSmsecs, c_llChange + test.llTo);
        EXPECT_NE(time.m_eScale, test.eFrom);
    }
    setLeapSecondTable(c_saved);
}

TEST(TimeScale, LaterThanComparesWholeSecondsOnOneScale)
{
    struct CaseS
    {
        CalendarTimeC a;
        CalendarTimeC b;
        bool bLater;
    };
    const CaseS c_aCases[] = {
        {utc(2020, 5, 5, 12, 0, 0, 99), utc(2020, 5, 5, 12, 0, 0, 1), false},
        {utc(2020, 5, 5, 12, 0, 0, 1), utc(2020, 5, 5, 12, 0, 0, 99), false},
        {utc(2020, 5, 5, 12, 0, 1), utc(2020, 5, 5, 12, 0, 0, 99), true},
        {utc(2021, 1, 1), utc(2020, 12, 31, 23, 59, 59), true},
        {utc(2020, 12, 31, 23, 59, 59), utc(2021, 1, 1), false},
        // 12:00:10 GPS is 11:59:55 UTC.
        {utc(2020, 5, 5, 12), CalendarTimeC(2020, 5, 5, 12, 0, 10, 0, TS_GPS), true},
        {CalendarTimeC(2020, 5, 5, 12, 0, 10, 0, TS_GPS), utc(2020, 5, 5, 12), false},
    };
    for (const CaseS& test : c_aCases) {
        EXPECT_EQ(isLaterThan(test.a, test.b), test.bLater)
            << fields(test.a) << " vs " << fields(test.b);
    }
}

TEST(TimeGps, MillisecondsBeyondTheWeekAreAssertedAndCarried)
{
    RecordingHandlerC handler;
    NOX::ERR::PanicHandlerRegistryC::getInstance().setHandler(&handler, true);
    GpsTimeC time(3, 604800000u + 7);
    NOX::ERR::PanicHandlerRegistryC::getInstance().removeHandler(&handler);
    ASSERT_EQ(handler.m_vecCalls.size(), 1u);
    EXPECT_EQ(handler.m_vecCalls[0].strText, "m_ulGPSmsecs < 604800000");
    EXPECT_EQ(handler.m_vecCalls[0].strFile, "src\\Nox_Tim\\NOX_TIM");
    EXPECT_EQ(time.m_nWeek, 4);
    EXPECT_EQ(time.m_ulGPSmsecs, 7u);
}

// ------------------------------------------------------------ base system time

void setWallClock(WORD wHour, WORD wMinute, WORD wSecond, WORD wMilliseconds)
{
    FakeClockS::s_stWallClock = SYSTEMTIME{2024, 6, 2, 11, wHour, wMinute, wSecond, wMilliseconds};
}

class BaseTimeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FakeClockS::s_dwTicks = 1000;
        FakeClockS::s_nClockReads = 0;
        setWallClock(12, 0, 0, 0);
        setTimeSources(&FakeClockS::ticks, &FakeClockS::wallClock);
    }
    void TearDown() override { setTimeSources(nullptr, nullptr); }
};

TEST_F(BaseTimeTest, StartsFromTheWallClockInGpsTime)
{
    CalendarTimeC first = getCurrentTime();
    EXPECT_EQ(fields(first), fields(CalendarTimeC(2024, 6, 11, 12, 0, 15, 0, TS_GPS)));
    EXPECT_EQ(first.m_unDayOfWeek, 0);
    FakeClockS::s_dwTicks = 2500;
    EXPECT_NEAR(getCurrentDayCount(TS_UTC).m_dDays, 60472.5 + 1.5 / 86400, 1e-9);
}

// Each row is a sequence of requests; the wall clock only counts when the base
// is taken again.
TEST_F(BaseTimeTest, AdvancesByTicksImmuneToWallClockChanges)
{
    struct StepS
    {
        DWORD dwTicks;
        WORD wWallHour;
        const char* szPrinted;
        CalendarTimeC expected;
    };
    struct CaseS
    {
        const char* szName;
        std::vector<StepS> vecSteps;
        int nClockReads;
    };
    const DWORD c_dwDay = 86400000;
    const std::vector<CaseS> vecCases = {
        {"wall clock moved",
         {{1000, 12, "", utc(2024, 6, 11, 12)}, {2500, 17, "", utc(2024, 6, 11, 12, 0, 1, 50)}},
         1},
        {"tick wrap",
         {{5000, 12, "", utc(2024, 6, 11, 12)},
          {100, 13, "[NOX::TIM] Reset base system time\n", utc(2024, 6, 11, 13)},
          {350, 14, "", utc(2024, 6, 11, 13, 0, 0, 25)}},
         2},
        {"more than a day",
         {{1000, 12, "", utc(2024, 6, 11, 12)},
          {1000 + c_dwDay, 12, "", utc(2024, 6, 12, 12)},
          {1000 + c_dwDay + 20, 12, "[NOX::TIM] Hoops wrong correction!\n",
           utc(2024, 6, 12, 12, 0, 0, 2)}},
         1},
    };
    for (const CaseS& c : vecCases) {
        SetUp();
        for (const StepS& step : c.vecSteps) {
            setWallClock(step.wWallHour, 0, 0, 0);
            FakeClockS::s_dwTicks = step.dwTicks;
            testing::internal::CaptureStdout();
            CalendarTimeC stamp = getCurrentTime(TS_UTC);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), step.szPrinted) << c.szName;
            EXPECT_EQ(fields(stamp), fields(step.expected)) << c.szName;
        }
        EXPECT_EQ(FakeClockS::s_nClockReads, c.nClockReads) << c.szName;
    }
}

void clockTickingEveryOtherRead(SYSTEMTIME* pTime)
{
    *pTime =
        SYSTEMTIME{2024, 6, 2, 11, 12, 0, static_cast<WORD>(FakeClockS::s_nClockReads / 2), 730};
    ++FakeClockS::s_nClockReads;
}

TEST_F(BaseTimeTest, ResynchroniseTakesTheBaseAfterTheSecondChanges)
{
    getCurrentTime();
    setTimeSources(&FakeClockS::ticks, &clockTickingEveryOtherRead);
    FakeClockS::s_nClockReads = 0;
    CalendarTimeC now = resynchronise();
    // Reads: the first, one poll in the same second, one in the next, the base.
    EXPECT_EQ(FakeClockS::s_nClockReads, 4);
    EXPECT_EQ(fields(now), fields(CalendarTimeC(2024, 6, 11, 12, 0, 16, 73, TS_GPS)));
}

std::atomic<DWORD> s_atRisingTicks{0};

DWORD risingTicks()
{
    return ++s_atRisingTicks;
}

TEST_F(BaseTimeTest, ConcurrentRequestsStayMonotonicWithoutResets)
{
    setTimeSources(&risingTicks, &FakeClockS::wallClock);
    std::atomic<int> atBackwards{0};
    testing::internal::CaptureStdout();
    std::vector<std::thread> vecThreads(4);
    for (std::thread& thread : vecThreads) {
        thread = std::thread([&atBackwards] {
            for (double dPrevious = 0.0, dNow = 0.0; dNow < 60472.5 + 8000.0 / 86400000;) {
                dNow = getCurrentDayCount(TS_UTC).m_dDays;
                atBackwards += dNow < dPrevious ? 1 : 0;
                dPrevious = dNow;
            }
        });
    }
    for (std::thread& thread : vecThreads) {
        thread.join();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(atBackwards.load(), 0);
    EXPECT_EQ(FakeClockS::s_nClockReads, 1);
}

} // namespace
