#include "core/timeline/accessors.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::timeline {

void Accessors::resize(std::size_t n) {
  for (auto* c : {&utc, &utc_offset}) c->resize(n);
  for (auto* c : {&iso_year, &year, &date}) c->resize(n);
  for (auto* c : {&week, &day_of_week, &month, &day, &hour, &minute}) c->resize(n);
}

namespace {

// Local wall-clock nanoseconds of an instant; a local time beyond the representable range is
// refused rather than wrapped.
std::int64_t local_of(std::int64_t utc, std::int64_t offset) {
  std::int64_t local = 0;
  if (__builtin_add_overflow(utc, offset, &local))
    value_error("local time of instant " + std::to_string(utc) + " is out of range");
  return local;
}

// The date fields of a run starting at `row` with local wall-clock time `local`.
DayRun day_run(std::size_t row, std::int64_t local, std::int64_t offset) {
  const std::int64_t days = floor_div(local, kNsPerDay);
  const CivilDate civil = civil_from_days(days);
  const IsoWeek iso = iso_week(days);
  DayRun r{};
  r.first_row = static_cast<std::int32_t>(row);
  r.date = static_cast<std::int32_t>(days);
  r.offset = offset;
  r.year = static_cast<std::int32_t>(civil.year);
  r.iso_year = static_cast<std::int32_t>(iso.iso_year);
  r.month = static_cast<std::int8_t>(civil.month);
  r.day = static_cast<std::int8_t>(civil.day);
  r.week = static_cast<std::int8_t>(iso.week);
  r.day_of_week = static_cast<std::int8_t>(iso_weekday(days));
  r.first_minute = static_cast<std::int16_t>((local - days * kNsPerDay) / kNsPerMinute);
  return r;
}

// Row i's accessor fields: those of its day run, and the hour and minute of its minute of day.
void fill_row(Accessors& t, std::size_t i, const DayRun& r, std::int64_t minute,
              std::int64_t offset) {
  t.iso_year[i] = r.iso_year;
  t.week[i] = r.week;
  t.day_of_week[i] = r.day_of_week;
  t.year[i] = r.year;
  t.month[i] = r.month;
  t.day[i] = r.day;
  t.hour[i] = static_cast<std::int8_t>(minute / 60);
  t.minute[i] = static_cast<std::int8_t>(minute % 60);
  t.utc_offset[i] = offset;
  t.date[i] = r.date;
}

bool same_day_fields(const DayRun& a, const DayRun& b) {
  return a.date == b.date && a.offset == b.offset && a.year == b.year && a.iso_year == b.iso_year &&
         a.month == b.month && a.day == b.day && a.week == b.week && a.day_of_week == b.day_of_week;
}

}  // namespace

std::size_t Calendar::run_of(std::size_t row) const {
  auto it = std::upper_bound(runs.begin(), runs.end(), row, [](std::size_t r, const DayRun& d) {
    return r < static_cast<std::size_t>(d.first_row);
  });
  return static_cast<std::size_t>(it - runs.begin()) - 1;
}

Column<std::int64_t> make_grid(std::int64_t start, std::int64_t end, std::int64_t step) {
  Column<std::int64_t> grid;
  if (end <= start) return grid;
  // Unsigned: the span of two valid instants can exceed the signed range, and so can k * step
  // on the way to an instant that is itself in range.
  const auto span = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
  const std::uint64_t n = (span - 1) / static_cast<std::uint64_t>(step) + 1;
  if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
    value_error("a timeline of " + std::to_string(n) + " quarter-hours is too long");
  grid.resize(static_cast<std::size_t>(n));
  const auto base = static_cast<std::uint64_t>(start);
  for (std::uint64_t k = 0; k < n; ++k)
    grid[static_cast<std::size_t>(k)] =
        static_cast<std::int64_t>(base + k * static_cast<std::uint64_t>(step));
  return grid;
}

Calendar grid_calendar(std::int64_t start, std::int64_t end, const Offsets& offsets) {
  Calendar c;
  c.utc = make_grid(start, end, kNsPerQuarterHour);
  const std::size_t n = c.size();
  // Rows before the instant t: the grid is regular, so this is arithmetic.
  auto rows_before = [&](std::int64_t t) -> std::size_t {
    if (t <= start) return 0;
    const auto d = static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(start);
    const std::uint64_t r = (d - 1) / static_cast<std::uint64_t>(kNsPerQuarterHour) + 1;
    return static_cast<std::size_t>(std::min<std::uint64_t>(r, n));
  };
  const auto changes = offsets.changes();
  std::size_t ci = 0;
  std::size_t row = 0;
  while (row < n) {
    while (ci + 1 < changes.size() && changes[ci + 1].from <= c.utc[row]) ++ci;
    const std::int64_t offset = changes[ci].offset;
    const std::size_t segment_end = ci + 1 < changes.size() ? rows_before(changes[ci + 1].from) : n;
    const std::int64_t local = local_of(c.utc[row], offset);
    const DayRun r = day_run(row, local, offset);
    // The next local midnight, in UTC.
    std::int64_t midnight = 0, next = 0;
    std::size_t end_row = segment_end;
    if (!__builtin_mul_overflow(std::int64_t{r.date} + 1, kNsPerDay, &midnight) &&
        !__builtin_sub_overflow(midnight, offset, &next))
      end_row = std::min(end_row, rows_before(next));
    c.runs.push_back(r);
    row = std::max(end_row, row + 1);
  }
  return c;
}

Calendar calendar_of(Accessors&& t) {
  Calendar c;
  const std::size_t n = t.size();
  for (std::size_t i = 0; i < n; ++i) {
    DayRun r{};
    r.first_row = static_cast<std::int32_t>(i);
    r.date = t.date[i];
    r.offset = t.utc_offset[i];
    r.year = t.year[i];
    r.iso_year = t.iso_year[i];
    r.month = t.month[i];
    r.day = t.day[i];
    r.week = t.week[i];
    r.day_of_week = t.day_of_week[i];
    if (c.runs.empty() || !same_day_fields(c.runs.back(), r)) c.runs.push_back(r);
  }
  c.utc = std::move(t.utc);
  c.hour = std::move(t.hour);
  c.minute = std::move(t.minute);
  if (c.hour.size() != n || c.minute.size() != n) value_error("accessor columns differ in length");
  return c;
}

Accessors accessors_of(const Calendar& c) {
  Accessors t;
  t.resize(c.size());
  t.utc.assign(c.utc.begin(), c.utc.end());
  for (std::size_t k = 0; k < c.runs.size(); ++k) {
    const DayRun& r = c.runs[k];
    const auto a = static_cast<std::size_t>(r.first_row);
    const std::size_t b = c.run_end(k);
    for (std::size_t i = a; i < b; ++i) {
      fill_row(t, i, r, c.minute_of_day(k, i), r.offset);
    }
  }
  return t;
}

Accessors accessors_of(std::span<const std::int64_t> utc, const Offsets& offsets) {
  std::vector<std::int64_t> per_row(utc.size());
  for (std::size_t i = 0; i < utc.size(); ++i) per_row[i] = offsets.at(utc[i]);
  return accessors_of(utc, std::span<const std::int64_t>(per_row));
}

Accessors accessors_of(std::span<const std::int64_t> utc, std::span<const std::int64_t> offsets) {
  if (utc.size() != offsets.size()) value_error("instants and offsets differ in length");
  Accessors t;
  t.resize(utc.size());
  DayRun r{};
  std::int64_t last_local_day = std::numeric_limits<std::int64_t>::min(), last_offset = 0;
  for (std::size_t i = 0; i < utc.size(); ++i) {
    const std::int64_t offset = offsets[i];
    const std::int64_t local = local_of(utc[i], offset);
    const std::int64_t days = floor_div(local, kNsPerDay);
    if (days != last_local_day || offset != last_offset) {
      r = day_run(i, local, offset);
      last_local_day = days;
      last_offset = offset;
    }
    const std::int64_t m = (local - days * kNsPerDay) / kNsPerMinute;
    t.utc[i] = utc[i];
    fill_row(t, i, r, m, offset);
  }
  return t;
}

template <typename T>
Column<T> narrow_column(std::span<const std::int64_t> values, std::string_view name) {
  Column<T> out(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] < std::numeric_limits<T>::min() || values[i] > std::numeric_limits<T>::max())
      value_error(concat("accessor column '", name, "' holds ", std::to_string(values[i]),
                         ", outside its range"));
    out[i] = static_cast<T>(values[i]);
  }
  return out;
}
template Column<std::int8_t> narrow_column(std::span<const std::int64_t>, std::string_view);
template Column<std::int32_t> narrow_column(std::span<const std::int64_t>, std::string_view);
template Column<std::int64_t> narrow_column(std::span<const std::int64_t>, std::string_view);

void require_no_missing(std::span<const std::int64_t> instants, std::string_view what) {
  if (std::find(instants.begin(), instants.end(), std::numeric_limits<std::int64_t>::min()) !=
      instants.end())
    value_error(concat(what, " holds a missing instant (NaT)"));
}

void check_series_lengths(std::size_t values, std::size_t instants) {
  if (values != instants) value_error("series values and index differ in length");
}

}  // namespace ostrel::core::timeline
