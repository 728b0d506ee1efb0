#include "core/timeline/accessors.hpp"

#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::timeline {

void Accessors::resize(std::size_t n) {
  for (auto* c : {&utc, &utc_offset}) c->resize(n);
  for (auto* c : {&iso_year, &year, &date}) c->resize(n);
  for (auto* c : {&week, &day_of_week, &month, &day, &hour, &minute}) c->resize(n);
}

namespace {

// Fills row i from its local wall-clock time. Consecutive rows mostly share a local date, so
// the date-derived columns are computed once per run of equal dates.
struct RowFiller {
  Accessors& t;
  std::int64_t last_day = INT64_MIN;
  CivilDate civil{};
  IsoWeek iso{};
  std::int64_t dow = 0;

  void fill(std::size_t i, std::int64_t local) {
    const std::int64_t utc = t.utc[i];
    const std::int64_t days = floor_div(local, kNsPerDay);
    if (days != last_day) {
      t.date_runs.push_back(static_cast<std::int32_t>(i));
      last_day = days;
      civil = civil_from_days(days);
      iso = iso_week(days);
      dow = iso_weekday(days);
    }
    const std::int64_t minute_of_day = (local - days * kNsPerDay) / kNsPerMinute;
    t.iso_year[i] = static_cast<std::int32_t>(iso.iso_year);
    t.week[i] = static_cast<std::int8_t>(iso.week);
    t.day_of_week[i] = static_cast<std::int8_t>(dow);
    t.year[i] = static_cast<std::int32_t>(civil.year);
    t.month[i] = static_cast<std::int8_t>(civil.month);
    t.day[i] = static_cast<std::int8_t>(civil.day);
    t.hour[i] = static_cast<std::int8_t>(minute_of_day / 60);
    t.minute[i] = static_cast<std::int8_t>(minute_of_day % 60);
    t.utc_offset[i] = local - utc;
    t.date[i] = static_cast<std::int32_t>(days);
  }
};

}  // namespace

Accessors calculate_accessors(Column<std::int64_t> utc, std::span<const std::int64_t> local) {
  if (utc.size() != local.size()) value_error("utc and local instants differ in length");
  Accessors t;
  t.utc = std::move(utc);
  t.resize(t.utc.size());
  RowFiller f{t};
  for (std::size_t i = 0; i < t.size(); ++i) f.fill(i, local[i]);
  return t;
}

Accessors calculate_accessors_fixed(Column<std::int64_t> utc, std::int64_t offset_ns) {
  Accessors t;
  t.utc = std::move(utc);
  t.resize(t.utc.size());
  RowFiller f{t};
  for (std::size_t i = 0; i < t.size(); ++i) f.fill(i, t.utc[i] + offset_ns);
  return t;
}

Column<std::int64_t> make_grid(std::int64_t start, std::int64_t end, std::int64_t step) {
  Column<std::int64_t> grid;
  if (end <= start) return grid;
  // Unsigned: the span of two valid instants can exceed the signed range.
  const auto span = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
  const auto n = static_cast<std::int64_t>((span - 1) / static_cast<std::uint64_t>(step) + 1);
  grid.resize(static_cast<std::size_t>(n));
  for (std::int64_t k = 0; k < n; ++k) grid[static_cast<std::size_t>(k)] = start + k * step;
  return grid;
}

Accessors take_rows(const Accessors& table, std::span<const std::int64_t> rows) {
  Accessors t;
  t.resize(rows.size());
  auto take = [&](const auto& from, auto& to) {
    for (std::size_t i = 0; i < rows.size(); ++i) to[i] = from[static_cast<std::size_t>(rows[i])];
  };
  take(table.utc, t.utc);
  take(table.iso_year, t.iso_year);
  take(table.week, t.week);
  take(table.day_of_week, t.day_of_week);
  take(table.year, t.year);
  take(table.month, t.month);
  take(table.day, t.day);
  take(table.hour, t.hour);
  take(table.minute, t.minute);
  take(table.utc_offset, t.utc_offset);
  take(table.date, t.date);
  return t;
}

}  // namespace ostrel::core::timeline
