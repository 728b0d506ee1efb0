// Calendar arithmetic against a day-by-day walk of the Gregorian calendar, which shares no code
// with the closed formulas.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/timeline/civil.hpp"

namespace tl = ostrel::core::timeline;

TEST(TimelineCivil, DayNumbersMatchAWalkOfTheCalendar) {
  // Walk forward from 1600-01-01 (a Saturday) to 2400-12-31, one day at a time.
  std::int64_t y = 1600, m = 1, d = 1;
  std::int64_t weekday = 6;
  const std::int64_t first = tl::days_from_civil(1600, 1, 1);
  for (std::int64_t z = first; y <= 2400; ++z) {
    ASSERT_EQ(tl::days_from_civil(y, m, d), z) << y << "-" << m << "-" << d;
    const tl::CivilDate c = tl::civil_from_days(z);
    ASSERT_EQ(c.year, y);
    ASSERT_EQ(c.month, m);
    ASSERT_EQ(c.day, d);
    ASSERT_EQ(tl::iso_weekday(z), weekday);
    weekday = weekday % 7 + 1;
    if (++d > tl::days_in_month(y, m)) {
      d = 1;
      if (++m > 12) {
        m = 1;
        ++y;
      }
    }
  }
}

TEST(TimelineCivil, FloorDivisionRoundsTowardMinusInfinity) {
  EXPECT_EQ(tl::floor_div(-1, tl::kNsPerDay), -1);
  EXPECT_EQ(tl::floor_div(-tl::kNsPerDay, tl::kNsPerDay), -1);
  EXPECT_EQ(tl::floor_div(-tl::kNsPerDay - 1, tl::kNsPerDay), -2);
  EXPECT_EQ(tl::floor_div(tl::kNsPerDay - 1, tl::kNsPerDay), 0);
  EXPECT_EQ(tl::floor_div(7, -2), -4);
}

TEST(TimelineCivil, IsoWeeksAtYearBoundaries) {
  struct Case {
    std::int64_t y, m, d, iso_year, week;
  };
  // Years starting on Thursday have 53 weeks; 1 January may belong to the year before.
  const Case cases[] = {{2015, 12, 31, 2015, 53}, {2016, 1, 3, 2015, 53},   {2016, 1, 4, 2016, 1},
                        {2018, 12, 31, 2019, 1},  {2020, 12, 31, 2020, 53}, {2026, 3, 29, 2026, 13},
                        {2027, 1, 1, 2026, 53},   {2008, 12, 29, 2009, 1}};
  for (const Case& c : cases) {
    const tl::IsoWeek w = tl::iso_week(tl::days_from_civil(c.y, c.m, c.d));
    EXPECT_EQ(w.iso_year, c.iso_year) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_EQ(w.week, c.week) << c.y << "-" << c.m << "-" << c.d;
  }
}

TEST(TimelineCivil, LeapYears) {
  EXPECT_TRUE(tl::is_leap(2000));
  EXPECT_FALSE(tl::is_leap(1900));
  EXPECT_TRUE(tl::is_leap(2024));
  EXPECT_FALSE(tl::is_leap(2023));
  EXPECT_EQ(tl::days_in_month(2100, 2), 28);
  EXPECT_EQ(tl::days_in_month(2400, 2), 29);
}
