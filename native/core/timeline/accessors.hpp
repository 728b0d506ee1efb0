#pragma once
// The calendar view of a grid: one row per instant, every column derived once from the UTC
// instant and its local wall-clock time.
#include <cstdint>
#include <span>
#include <vector>

#include "core/timeline/column.hpp"

namespace ostrel::core::timeline {

// Columns are as narrow as their ranges allow: a year of quarter-hours is 35,040 rows, and
// filling fresh memory costs more than computing the values.
struct Accessors {
  Column<std::int64_t> utc;  // UTC nanoseconds, the table's index
  Column<std::int32_t> iso_year;
  Column<std::int8_t> week;
  Column<std::int8_t> day_of_week;
  Column<std::int32_t> year;
  Column<std::int8_t> month;
  Column<std::int8_t> day;
  Column<std::int8_t> hour;
  Column<std::int8_t> minute;
  Column<std::int64_t> utc_offset;  // local minus UTC, nanoseconds
  Column<std::int32_t> date;        // local date, days since 1970-01-01
  // First row of each run of rows sharing a local date, when known (made while the columns
  // are computed; a table read back from elsewhere leaves it empty).
  std::vector<std::int32_t> date_runs;

  std::size_t size() const { return utc.size(); }
  void resize(std::size_t n);
};

// Columns for instants given as UTC and local wall-clock nanoseconds (same length).
Accessors calculate_accessors(Column<std::int64_t> utc, std::span<const std::int64_t> local);

// The same columns with a constant offset (fixed-offset zones and UTC), no local array needed.
Accessors calculate_accessors_fixed(Column<std::int64_t> utc, std::int64_t offset_ns);

// The instants start + k * step strictly before end (empty when end <= start).
Column<std::int64_t> make_grid(std::int64_t start, std::int64_t end, std::int64_t step);

// Rows `rows` of `table`, in that order (repeats allowed).
Accessors take_rows(const Accessors& table, std::span<const std::int64_t> rows);

}  // namespace ostrel::core::timeline
