// The proleptic Gregorian date of a day count: the platform's clock and the
// time module share this one algorithm and this one epoch offset.
#pragma once

#include <cstdint>

namespace plat {

// The system time counts from 1601-01-01; day counts here from 1970-01-01.
constexpr int64_t c_llDaysFrom1601To1970 = 134774;

struct CivilDateS
{
    int64_t m_llYear;
    int m_nMonth; // 1..12
    int m_nDay;   // 1..31
};

// Counted in 400-year eras from 0000-03-01, so that a leap day falls at the
// end of its year; exact for any day count, before 1970 too.
constexpr CivilDateS civilFromDays(int64_t llDaysSince1970)
{
    const int64_t llDays = llDaysSince1970 + 719468;
    const int64_t llEra = (llDays >= 0 ? llDays : llDays - 146096) / 146097;
    const int64_t llDayOfEra = llDays - llEra * 146097;
    const int64_t llYearOfEra =
        (llDayOfEra - llDayOfEra / 1460 + llDayOfEra / 36524 - llDayOfEra / 146096) / 365;
    const int64_t llDayOfYear =
        llDayOfEra - (365 * llYearOfEra + llYearOfEra / 4 - llYearOfEra / 100);
    const int64_t llMonthIndex = (5 * llDayOfYear + 2) / 153;
    const int nMonth = static_cast<int>(llMonthIndex < 10 ? llMonthIndex + 3 : llMonthIndex - 9);
    return CivilDateS{llYearOfEra + llEra * 400 + (nMonth <= 2 ? 1 : 0), nMonth,
                      static_cast<int>(llDayOfYear - (153 * llMonthIndex + 2) / 5 + 1)};
}

} // namespace plat
