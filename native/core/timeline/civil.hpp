#pragma once
// Proleptic Gregorian calendar arithmetic on day numbers (days since 1970-01-01), with floor
// division so that instants before the epoch land on the right day.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ostrel::core::timeline {

inline constexpr std::int64_t kNsPerSecond = 1'000'000'000;
inline constexpr std::int64_t kNsPerMinute = 60 * kNsPerSecond;
inline constexpr std::int64_t kNsPerHour = 60 * kNsPerMinute;
inline constexpr std::int64_t kNsPerDay = 24 * kNsPerHour;
inline constexpr std::int64_t kNsPerQuarterHour = 15 * kNsPerMinute;
// Microseconds, the host datetime's own unit.
inline constexpr std::int64_t kUsPerSecond = 1'000'000;
inline constexpr std::int64_t kUsPerDay = 86'400 * kUsPerSecond;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Nanoseconds per unit of a datetime64 unit ("s", "ms", "us", "ns"); 0 for any other.
std::int64_t unit_ns_of(std::string_view unit);

// Instants in units of `unit_ns` scaled to nanoseconds into `out`, the missing instant (the
// int64 minimum) kept as it is; false when one lies beyond the nanosecond range.
bool scale_to_ns(std::span<const std::int64_t> raw, std::int64_t unit_ns,
                 std::span<std::int64_t> out);

// Nanoseconds of `us` microseconds plus `extra_ns`; nothing beyond the nanosecond range, whose
// lowest value stands for a missing instant.
std::optional<std::int64_t> ns_of_us(std::int64_t us, std::int64_t extra_ns);

// An instant as an ISO 8601 UTC text for messages (2025-01-01T00:07:00Z; fractions of a second
// only when there are some).
std::string utc_text(std::int64_t ns);

// ValueError "<prefix>: a variable at <instant> where the <holder> has the period starting
// <instant>" at the first position where variables' instants and period starts differ; a
// different count with an agreeing prefix is left to the caller's count check.
void check_variables_at(std::span<const std::int64_t> instants,
                        std::span<const std::int64_t> periods, const std::string& prefix,
                        const char* holder);

struct CivilDate {
  std::int64_t year;
  std::int64_t month;  // 1..12
  std::int64_t day;    // 1..31
};

// Day number of a civil date (month and day in range).
constexpr std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr CivilDate civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = floor_div(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (m <= 2), m, d};
}

// ISO weekday, 1 = Monday to 7 = Sunday (1970-01-01 was a Thursday).
constexpr std::int64_t iso_weekday(std::int64_t days) {
  return floor_div(days + 3, 7) * -7 + days + 4;
}

struct IsoWeek {
  std::int64_t iso_year;
  std::int64_t week;
};

// The ISO week is the one holding the Thursday of the date's Monday-to-Sunday week.
constexpr IsoWeek iso_week(std::int64_t days) {
  const std::int64_t thursday = days - iso_weekday(days) + 4;
  const std::int64_t year = civil_from_days(thursday).year;
  return {year, (thursday - days_from_civil(year, 1, 1)) / 7 + 1};
}

constexpr bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr std::int64_t days_in_month(std::int64_t y, std::int64_t m) {
  constexpr std::int64_t lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : lengths[m - 1];
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(iso_weekday(0) == 4 && iso_weekday(4) == 1 && iso_weekday(-1) == 3);
static_assert(iso_week(days_from_civil(2021, 1, 3)).iso_year == 2020);
static_assert(iso_week(days_from_civil(2021, 1, 3)).week == 53);
static_assert(iso_week(days_from_civil(2024, 12, 30)).iso_year == 2025);

}  // namespace ostrel::core::timeline
