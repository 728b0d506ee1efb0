// The search for a zone's offset changes against synthetic zones whose changes are known: any
// number per day, at any microsecond, and the calendar of a grid across them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/timeline/accessors.hpp"
#include "core/timeline/civil.hpp"
#include "core/timeline/offsets.hpp"

namespace tl = ostrel::core::timeline;

namespace {

constexpr std::int64_t kMinuteNs = 60'000'000'000;

// A zone given by its changes; the probe counts how often it is asked.
struct SyntheticZone {
  std::vector<tl::OffsetChange> changes;
  mutable std::int64_t asked = 0;
  std::int64_t at_us(std::int64_t utc_us) const {
    ++asked;
    return tl::Offsets(changes).at(utc_us * 1000);
  }
};

tl::Offsets search(const SyntheticZone& z, std::int64_t first, std::int64_t last) {
  return tl::find_offsets(first, last, [&](std::int64_t us) { return z.at_us(us); });
}

}  // namespace

TEST(TimelineOffsets, FindsEveryChangeOfADayWithSeveral) {
  const std::int64_t day = 20'000 * tl::kNsPerDay;
  SyntheticZone z{{{tl::Offsets::kBeginning, 60 * kMinuteNs},
                   {day + 3 * tl::kNsPerHour + 17'000, 120 * kMinuteNs},
                   {day + 9 * tl::kNsPerHour, 30 * kMinuteNs},
                   {day + 9 * tl::kNsPerHour + 1000, -45 * kMinuteNs},
                   {day + 23 * tl::kNsPerHour, 0}}};
  const tl::Offsets found = search(z, day - tl::kNsPerDay, day + 2 * tl::kNsPerDay);
  ASSERT_EQ(found.changes().size(), z.changes.size());
  for (std::size_t k = 0; k < z.changes.size(); ++k) {
    EXPECT_EQ(found.changes()[k].from, z.changes[k].from) << k;
    EXPECT_EQ(found.changes()[k].offset, z.changes[k].offset) << k;
  }
  // Once per day and some forty times per change, not once per instant.
  EXPECT_LT(z.asked, 5 + 4 * 40);
}

TEST(TimelineOffsets, AFixedZoneIsAskedOncePerDay) {
  SyntheticZone z{{{tl::Offsets::kBeginning, 5 * tl::kNsPerHour + 45 * kMinuteNs}}};
  const tl::Offsets found = search(z, 0, 365 * tl::kNsPerDay - 1);
  EXPECT_TRUE(found.fixed());
  EXPECT_EQ(z.asked, 366);
}

TEST(TimelineOffsets, GridCalendarSplitsDaysAtChangesAndMidnights) {
  // An hour back at 01:00 UTC, local 03:00 -> 02:00 (the end of summer time in Central Europe).
  const std::int64_t day = 20'000 * tl::kNsPerDay;
  const tl::Offsets offsets(
      {{tl::Offsets::kBeginning, 2 * tl::kNsPerHour}, {day + tl::kNsPerHour, tl::kNsPerHour}});
  const std::int64_t start = day - 2 * tl::kNsPerHour;  // local midnight
  const tl::Calendar c = tl::grid_calendar(start, start + 25 * tl::kNsPerHour, offsets);
  ASSERT_EQ(c.size(), 100u);
  ASSERT_EQ(c.runs.size(), 2u);
  EXPECT_EQ(c.runs[0].first_row, 0);
  EXPECT_EQ(c.runs[1].first_row, 12);  // three local hours at the summer offset
  EXPECT_EQ(c.runs[0].date, c.runs[1].date);
  EXPECT_EQ(c.runs[1].first_minute, 2 * 60);
  const tl::Accessors rows = tl::accessors_of(c);
  for (std::size_t i = 0; i < c.size(); ++i) {
    const std::int64_t local = c.utc[i] + offsets.at(c.utc[i]);
    const std::int64_t minute =
        (local - tl::floor_div(local, tl::kNsPerDay) * tl::kNsPerDay) / kMinuteNs;
    ASSERT_EQ(rows.hour[i] * 60 + rows.minute[i], minute) << i;
    ASSERT_EQ(rows.utc_offset[i], offsets.at(c.utc[i])) << i;
  }
}
