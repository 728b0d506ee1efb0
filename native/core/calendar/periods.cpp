#include "core/calendar/periods.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "core/calendar/civil.hpp"

namespace ostrel::core::calendar {

namespace {

constexpr const char* kQuarterHourly[] = {"year", "month", "day", "hour", "minute", "utc_offset"};
constexpr const char* kHourly[] = {"year", "month", "day", "hour", "utc_offset"};
constexpr const char* kDaily[] = {"year", "month", "day"};
constexpr const char* kWeekly[] = {"iso_year", "week"};
constexpr const char* kMonthly[] = {"year", "month"};
constexpr const char* kYearly[] = {"year"};

// A key tuple packed into two integers that compare lexicographically like the tuple: the
// calendar fields become one ordinal, the UTC offset (where it is a key) stays apart.
struct Key {
  std::int64_t primary;
  std::int64_t secondary;
  auto operator<=>(const Key&) const = default;
};

std::vector<Key> keys_of(const Accessors& t, Resolution r) {
  const std::size_t n = t.size();
  std::vector<Key> keys(n);
  // The day ordinal is shared by consecutive rows; recompute it only when the date changes.
  std::int64_t y = INT64_MIN, m = 0, d = 0, days = 0;
  auto day_number = [&](std::size_t i) {
    if (t.year[i] != y || t.month[i] != m || t.day[i] != d) {
      y = t.year[i], m = t.month[i], d = t.day[i];
      days = days_from_civil(y, m, d);
    }
    return days;
  };
  switch (r) {
    case Resolution::QUARTER_HOURLY:
      for (std::size_t i = 0; i < n; ++i)
        keys[i] = {(day_number(i) * 24 + t.hour[i]) * 60 + t.minute[i], t.utc_offset[i]};
      break;
    case Resolution::HOURLY:
      for (std::size_t i = 0; i < n; ++i) keys[i] = {day_number(i) * 24 + t.hour[i], t.utc_offset[i]};
      break;
    case Resolution::DAILY:
      for (std::size_t i = 0; i < n; ++i) keys[i] = {day_number(i), 0};
      break;
    case Resolution::WEEKLY:
      for (std::size_t i = 0; i < n; ++i) keys[i] = {t.iso_year[i] * 64 + t.week[i], 0};
      break;
    case Resolution::MONTHLY:
      for (std::size_t i = 0; i < n; ++i) keys[i] = {t.year[i] * 16 + t.month[i], 0};
      break;
    case Resolution::YEARLY:
      for (std::size_t i = 0; i < n; ++i) keys[i] = {t.year[i], 0};
      break;
  }
  return keys;
}

}  // namespace

std::span<const char* const> key_columns(Resolution r) {
  switch (r) {
    case Resolution::QUARTER_HOURLY: return kQuarterHourly;
    case Resolution::HOURLY: return kHourly;
    case Resolution::DAILY: return kDaily;
    case Resolution::WEEKLY: return kWeekly;
    case Resolution::MONTHLY: return kMonthly;
    case Resolution::YEARLY: return kYearly;
  }
  return {};
}

PeriodIndex compute_periods(const Accessors& table, Resolution r) {
  const std::vector<Key> keys = keys_of(table, r);
  const std::size_t n = keys.size();
  PeriodIndex p;
  p.group_of_row.resize(n);

  // Runs of equal keys; on a grid most periods are one run each.
  std::vector<std::int64_t> run_start;
  for (std::size_t i = 0; i < n; ++i)
    if (i == 0 || keys[i] != keys[i - 1]) run_start.push_back(static_cast<std::int64_t>(i));
  const std::size_t runs = run_start.size();
  auto key_of_run = [&](std::size_t j) { return keys[static_cast<std::size_t>(run_start[j])]; };

  bool ascending = true;
  for (std::size_t j = 1; j < runs && ascending; ++j) ascending = key_of_run(j - 1) < key_of_run(j);

  std::vector<std::int64_t> id_of_run(runs);
  if (ascending) {
    std::iota(id_of_run.begin(), id_of_run.end(), 0);
    p.start_rows = run_start;
    p.start_of_group.resize(runs);
    std::iota(p.start_of_group.begin(), p.start_of_group.end(), 0);
  } else {
    // The repeated local hour at the end of daylight saving (or a table in any order): sort
    // the runs by key; the stable sort keeps the earliest run first among equal keys.
    std::vector<std::size_t> order(runs);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return key_of_run(a) < key_of_run(b); });
    std::vector<std::int64_t> first_row_of_group;
    for (std::size_t j = 0; j < runs; ++j) {
      if (j == 0 || key_of_run(order[j - 1]) != key_of_run(order[j]))
        first_row_of_group.push_back(run_start[order[j]]);
      id_of_run[order[j]] = static_cast<std::int64_t>(first_row_of_group.size() - 1);
    }
    const std::size_t groups = first_row_of_group.size();
    std::vector<std::int64_t> by_start(groups);
    std::iota(by_start.begin(), by_start.end(), 0);
    std::sort(by_start.begin(), by_start.end(), [&](std::int64_t a, std::int64_t b) {
      return first_row_of_group[static_cast<std::size_t>(a)] <
             first_row_of_group[static_cast<std::size_t>(b)];
    });
    p.start_rows.resize(groups);
    p.start_of_group.resize(groups);
    for (std::size_t k = 0; k < groups; ++k) {
      const auto g = static_cast<std::size_t>(by_start[k]);
      p.start_rows[k] = first_row_of_group[g];
      p.start_of_group[g] = static_cast<std::int64_t>(k);
    }
  }
  for (std::size_t j = 0; j < runs; ++j) {
    const std::size_t end = j + 1 < runs ? static_cast<std::size_t>(run_start[j + 1]) : n;
    for (auto i = static_cast<std::size_t>(run_start[j]); i < end; ++i) p.group_of_row[i] = id_of_run[j];
  }
  return p;
}

RowLocator::RowLocator(std::span<const std::int64_t> utc) : utc_(utc) {
  const std::size_t n = utc.size();
  if (n == 0) return;
  start_ = utc[0];
  step_ = n > 1 ? utc[1] - utc[0] : 1;
  regular_ = step_ > 0;
  for (std::size_t i = 1; i < n && regular_; ++i)
    regular_ = utc[i] - utc[i - 1] == step_;
  if (regular_) return;
  sorted_rows_.resize(n);
  std::iota(sorted_rows_.begin(), sorted_rows_.end(), 0);
  std::stable_sort(sorted_rows_.begin(), sorted_rows_.end(), [&](std::int64_t a, std::int64_t b) {
    return utc[static_cast<std::size_t>(a)] < utc[static_cast<std::size_t>(b)];
  });
}

std::int64_t RowLocator::find(std::int64_t instant) const {
  if (utc_.empty()) return -1;
  if (regular_) {
    if (instant < start_) return -1;
    const std::uint64_t d = static_cast<std::uint64_t>(instant) - static_cast<std::uint64_t>(start_);
    const auto step = static_cast<std::uint64_t>(step_);
    if (d % step != 0 || d / step >= utc_.size()) return -1;
    return static_cast<std::int64_t>(d / step);
  }
  auto it = std::lower_bound(sorted_rows_.begin(), sorted_rows_.end(), instant,
                             [&](std::int64_t row, std::int64_t x) {
                               return utc_[static_cast<std::size_t>(row)] < x;
                             });
  if (it == sorted_rows_.end() || utc_[static_cast<std::size_t>(*it)] != instant) return -1;
  return *it;
}

std::vector<std::int64_t> RowLocator::find_all(std::span<const std::int64_t> instants) const {
  std::vector<std::int64_t> rows(instants.size());
  for (std::size_t i = 0; i < instants.size(); ++i) rows[i] = find(instants[i]);
  return rows;
}

}  // namespace ostrel::core::calendar
