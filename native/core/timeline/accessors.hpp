#pragma once
// The calendar view of a grid. The core keeps, besides the UTC instants, one entry per run of
// rows that share a local date and a UTC offset (one per day, two on a daylight-saving change):
// every calendar field of a row follows from its run. Per-row columns are made only when the
// host asks for the whole table.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/timeline/column.hpp"
#include "core/timeline/offsets.hpp"

namespace ostrel::core::timeline {

// The quarter-hour grid, in minutes.
inline constexpr std::int64_t kStepMinutes = 15;

struct DayRun {
  std::int32_t first_row;
  std::int32_t date;    // local date, days since 1970-01-01
  std::int64_t offset;  // local minus UTC, nanoseconds
  std::int32_t year;
  std::int32_t iso_year;
  std::int8_t month;
  std::int8_t day;
  std::int8_t week;
  std::int8_t day_of_week;
  std::int16_t first_minute;  // built grids: local minute of day of the run's first row
};

// The ten per-row columns, as the host's accessor table shows them.
struct Accessors {
  Column<std::int64_t> utc;
  Column<std::int32_t> iso_year;
  Column<std::int8_t> week;
  Column<std::int8_t> day_of_week;
  Column<std::int32_t> year;
  Column<std::int8_t> month;
  Column<std::int8_t> day;
  Column<std::int8_t> hour;
  Column<std::int8_t> minute;
  Column<std::int64_t> utc_offset;
  Column<std::int32_t> date;

  std::size_t size() const { return utc.size(); }
  void resize(std::size_t n);
};

// Calls f(name, column) for each integer column the host's accessor table shows under a name
// of its own, in the table's order (`utc` is its index, `date` a column of dates); `table` is
// an Accessors, const or not.
template <typename Table, typename F>
void for_each_named_column(Table& table, F&& f) {
  f("iso_year", table.iso_year);
  f("week", table.week);
  f("day_of_week", table.day_of_week);
  f("year", table.year);
  f("month", table.month);
  f("day", table.day);
  f("hour", table.hour);
  f("minute", table.minute);
  f("utc_offset", table.utc_offset);
}

// A timeline's calendar. A built grid steps by a quarter-hour, so within a run the local
// minute of day grows by kStepMinutes per row from the run's first minute. A table read back
// from the host keeps each row's hour and minute as given (`hour`, `minute` non-empty).
struct Calendar {
  Column<std::int64_t> utc;  // UTC nanoseconds, one per row
  std::vector<DayRun> runs;  // in row order; runs[0].first_row == 0 when there are rows
  Column<std::int8_t> hour, minute;

  std::size_t size() const { return utc.size(); }
  bool derived() const { return hour.empty() && !utc.empty(); }
  std::size_t run_end(std::size_t k) const {
    return k + 1 < runs.size() ? static_cast<std::size_t>(runs[k + 1].first_row) : size();
  }
  // Local minute of day of `row`, which lies in run k.
  std::int64_t minute_of_day(std::size_t k, std::size_t row) const {
    if (!hour.empty()) return std::int64_t{hour[row]} * 60 + minute[row];
    return runs[k].first_minute + kStepMinutes * static_cast<std::int64_t>(row - runs[k].first_row);
  }
  // The run holding `row`.
  std::size_t run_of(std::size_t row) const;
};

// The instants start + k * step strictly before end (empty when end <= start).
Column<std::int64_t> make_grid(std::int64_t start, std::int64_t end, std::int64_t step);

// The calendar of the quarter-hour grid from start (inclusive) to end (exclusive).
Calendar grid_calendar(std::int64_t start, std::int64_t end, const Offsets& offsets);

// The calendar of a table read back from the host, kept exactly as given.
Calendar calendar_of(Accessors&& rows);

// The per-row columns of a calendar, and of any instants (in any order) in a zone.
Accessors accessors_of(const Calendar& c);
Accessors accessors_of(std::span<const std::int64_t> utc, const Offsets& offsets);
// ... and of instants each with its own offset.
Accessors accessors_of(std::span<const std::int64_t> utc, std::span<const std::int64_t> offsets);

// A column of a host accessor table in the core's narrower type (int8, int32 or int64);
// ValueError "accessor column '<name>' holds <v>, outside its range" for a value it cannot hold,
// rather than wrapping it.
template <typename T>
Column<T> narrow_column(std::span<const std::int64_t> values, std::string_view name);

// ValueError "<what> holds a missing instant (NaT)" when an instant is the missing marker.
void require_no_missing(std::span<const std::int64_t> instants, std::string_view what);

// ValueError "series values and index differ in length" unless they agree.
void check_series_lengths(std::size_t values, std::size_t instants);

}  // namespace ostrel::core::timeline
