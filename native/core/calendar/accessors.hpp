#pragma once
// The calendar view of a grid: one row per instant, every column derived once from the UTC
// instant and its local wall-clock time.
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::core::calendar {

// Columns are as narrow as their ranges allow: a year of quarter-hours is 35,040 rows, and
// filling fresh memory costs more than computing the values.
struct Accessors {
  std::vector<std::int64_t> utc;  // UTC nanoseconds, the table's index
  std::vector<std::int32_t> iso_year;
  std::vector<std::int8_t> week;
  std::vector<std::int8_t> day_of_week;
  std::vector<std::int32_t> year;
  std::vector<std::int8_t> month;
  std::vector<std::int8_t> day;
  std::vector<std::int8_t> hour;
  std::vector<std::int8_t> minute;
  std::vector<std::int64_t> utc_offset;  // local minus UTC, nanoseconds
  std::vector<std::int32_t> date;        // local date, days since 1970-01-01

  std::size_t size() const { return utc.size(); }
  void resize(std::size_t n);
};

// Columns for instants given as UTC and local wall-clock nanoseconds (same length).
Accessors calculate_accessors(std::vector<std::int64_t> utc, std::span<const std::int64_t> local);

// The same columns with a constant offset (fixed-offset zones and UTC), no local array needed.
Accessors calculate_accessors_fixed(std::vector<std::int64_t> utc, std::int64_t offset_ns);

// The instants start + k * step strictly before end (empty when end <= start).
std::vector<std::int64_t> make_grid(std::int64_t start, std::int64_t end, std::int64_t step);

// Rows `rows` of `table`, in that order (repeats allowed).
Accessors take_rows(const Accessors& table, std::span<const std::int64_t> rows);

}  // namespace ostrel::core::calendar
