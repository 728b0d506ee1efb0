#include "core/timeline/timeline.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <numeric>
#include <string>

#include "core/common/errors.hpp"
#include "core/common/spans.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::timeline {

Timeline::Timeline(Calendar calendar) : calendar_(std::move(calendar)) {
  const auto& utc = calendar_.utc;
  ascending_ = std::adjacent_find(utc.begin(), utc.end(), std::greater_equal<>()) == utc.end();
}

const PeriodIndex& Timeline::periods(Resolution r) const {
  const auto k = static_cast<std::size_t>(r);
  std::call_once(periods_made_[k], [&] {
    periods_[k] = std::make_unique<PeriodIndex>(compute_periods(calendar_, r));
  });
  return *periods_[k];
}

const Column<std::int32_t>& Timeline::group_of_rows(Resolution r) const {
  const auto k = static_cast<std::size_t>(r);
  std::call_once(groups_made_[k], [&] {
    groups_[k] = std::make_unique<Column<std::int32_t>>(periods(r).group_of_rows());
  });
  return *groups_[k];
}

const RowLocator& Timeline::locator() const {
  std::call_once(locator_made_, [&] { locator_ = std::make_unique<RowLocator>(calendar_.utc); });
  return *locator_;
}

namespace {
// The masks one timeline keeps: far more than a tariff's conditions over a year of
// quarter-hours, and never more than a few megabytes.
constexpr std::size_t kMaxMaskBytes = std::size_t{8} << 20;
}  // namespace

Mask Timeline::match(const TimeCondition& c, std::span<const HolidayDate> holidays) const {
  auto same = [&](const Matched& m) {
    return m.condition == c && std::ranges::equal(m.holidays, holidays);
  };
  {
    std::lock_guard<std::mutex> hold(masks_lock_);
    for (const Matched& m : masks_)
      if (same(m)) return m.mask;
  }
  Mask mask = timeline::match(calendar_, c, holidays);
  std::lock_guard<std::mutex> hold(masks_lock_);
  if ((masks_.size() + 1) * mask.size() <= kMaxMaskBytes && std::ranges::none_of(masks_, same))
    masks_.push_back({c, std::vector<HolidayDate>(holidays.begin(), holidays.end()), mask});
  return mask;
}

std::vector<std::int64_t> Timeline::period_starts(Resolution r) const {
  const PeriodIndex& p = periods(r);
  std::vector<std::int64_t> out(p.size());
  for (std::size_t k = 0; k < p.size(); ++k) out[k] = calendar_.utc[p.start_row(k)];
  return out;
}

Grouping Timeline::group(std::span<const std::int64_t> instants, Resolution r) const {
  if (same_elements(instants, std::span<const std::int64_t>(calendar_.utc))) {
    // The whole grid in order (a series aligned to the timeline): every period takes part,
    // its members are its rows.
    const PeriodIndex& p = periods(r);
    Grouping g;
    g.group = group_of_rows(r);
    g.period_of_group.resize(p.size());
    std::iota(g.period_of_group.begin(), g.period_of_group.end(), 0);
    g.first_position.resize(p.size());
    for (std::size_t j = 0; j < p.size(); ++j)
      g.first_position[j] = static_cast<std::int64_t>(p.start_row(p.position_of_group(j)));
    return g;
  }
  RowLocator::Cursor cursor(locator());
  return group_elements(
      instants.size(), [&](std::size_t i) { return cursor(instants[i]); }, group_of_rows(r),
      periods(r).size());
}

Column<std::int64_t> Timeline::rows_of(std::span<const std::int64_t> instants) const {
  return locator().find_all(instants);
}

bool Timeline::on_period_starts(std::span<const std::int64_t> instants, std::int64_t unit_ns,
                                Resolution r) const {
  const PeriodIndex& p = periods(r);
  if (instants.size() != p.size() || unit_ns <= 0 || !ascending_) return false;
  // Scaled up, not divided down: an instant beyond the nanosecond range is on no grid.
  const std::int64_t* utc = calendar_.utc.data();
  auto on = [&](std::int64_t instant, std::size_t row) {
    std::int64_t ns = 0;
    return !__builtin_mul_overflow(instant, unit_ns, &ns) && ns == utc[row];
  };
  bool ok = true;
  if (p.every_row_starts()) {
    if (unit_ns == 1) return same_elements(instants, std::span<const std::int64_t>(calendar_.utc));
    if (instants.empty() || !on(instants[0], 0)) return false;
    // A built grid steps evenly: the instants must too, in their own unit, which takes one
    // addition per element and no scaling at all.
    if (calendar_.derived() && kNsPerQuarterHour % unit_ns == 0) {
      const std::int64_t step = kNsPerQuarterHour / unit_ns;
      std::uint64_t differ = 0;
      auto expected = static_cast<std::uint64_t>(instants[0]);
      for (const std::int64_t t : instants) {
        differ |= static_cast<std::uint64_t>(t) ^ expected;
        expected += static_cast<std::uint64_t>(step);
      }
      return differ == 0;
    }
    for (std::size_t k = 0; k < instants.size(); ++k) ok &= on(instants[k], k);
  } else {
    for (std::size_t k = 0; k < instants.size(); ++k) ok &= on(instants[k], p.start_row(k));
  }
  return ok;
}

Column<double> Timeline::align(std::span<const std::int64_t> raw, std::int64_t unit_ns,
                               std::span<const double> values, Resolution r) const {
  check_series_lengths(values.size(), raw.size());
  // The usual input: a series already on the period starts. Period starts are distinct grid
  // instants in row order, so each keeps its own value.
  if (on_period_starts(raw, unit_ns, r)) return Column<double>(values.begin(), values.end());
  // The series' instants in nanoseconds with their positions; an instant beyond the
  // nanosecond range matches no period start and takes no part (it must not wrap onto one).
  constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
  std::vector<std::int64_t> instants;
  std::vector<std::size_t> position;
  instants.reserve(raw.size());
  position.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    std::int64_t ns = nat;
    if (raw[i] != nat && __builtin_mul_overflow(raw[i], unit_ns, &ns)) continue;
    instants.push_back(ns);
    position.push_back(i);
  }
  // The series' instants in ascending order (a permutation only when they are not already).
  const std::size_t m = instants.size();
  std::vector<std::size_t> order;
  bool sorted = true;
  for (std::size_t i = 1; i < m && sorted; ++i) sorted = instants[i - 1] < instants[i];
  if (!sorted) {
    order.resize(m);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return instants[a] < instants[b]; });
    for (std::size_t i = 1; i < m; ++i)
      if (instants[order[i - 1]] == instants[order[i]])
        value_error("cannot reindex on an axis with duplicate labels");
  }
  auto at = [&](std::size_t i) { return sorted ? i : order[i]; };

  const std::vector<std::int64_t> starts = period_starts(r);
  Column<double> out(starts.size(), 0.0);
  const bool ascending = std::is_sorted(starts.begin(), starts.end());
  std::size_t j = 0;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::int64_t s = starts[k];
    if (ascending) {
      while (j < m && instants[at(j)] < s) ++j;
    } else {
      std::size_t lo = 0, hi = m;
      while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (instants[at(mid)] < s)
          lo = mid + 1;
        else
          hi = mid;
      }
      j = lo;
    }
    if (j < m && instants[at(j)] == s) out[k] = values[position[at(j)]];
  }
  return out;
}

std::vector<std::int64_t> Timeline::group_labels(const Grouping& g, Resolution r) const {
  const PeriodIndex& p = periods(r);
  std::vector<std::int64_t> out(g.size());
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] =
        calendar_
            .utc[p.start_row(p.position_of_group(static_cast<std::size_t>(g.period_of_group[j])))];
  return out;
}

std::optional<Column<std::int64_t>> Timeline::rows_unless_grid(
    std::span<const std::int64_t> instants, std::int64_t& missing) const {
  missing = -1;
  if (std::ranges::equal(instants, calendar_.utc)) return std::nullopt;
  Column<std::int64_t> rows = rows_of(instants);
  const auto off = std::ranges::find(rows, std::int64_t{-1});
  if (off == rows.end()) return rows;
  check(false, "index must be a subset of the timeline");
  missing = off - rows.begin();
  return rows;
}

std::int64_t Timeline::first_missing(std::span<const std::int64_t> instants) const {
  RowLocator::Cursor cursor(locator());
  for (std::size_t i = 0; i < instants.size(); ++i)
    if (cursor(instants[i]) < 0) return static_cast<std::int64_t>(i);
  return -1;
}

Column<double> Timeline::to_period_order(std::span<const double> key_ordered, Resolution r) const {
  const PeriodIndex& p = periods(r);
  if (key_ordered.size() != p.size())
    value_error("Length mismatch: Expected axis has " + std::to_string(key_ordered.size()) +
                " elements, new values have " + std::to_string(p.size()) + " elements");
  Column<double> out(p.size());
  for (std::size_t g = 0; g < p.size(); ++g) out[p.position_of_group(g)] = key_ordered[g];
  return out;
}

Mask Timeline::extremes(std::span<const std::int64_t> instants, std::span<const double> values,
                        Resolution r, std::int64_t n, bool highest) const {
  const Column<std::int64_t> rows = rows_of(instants);
  const Grouping g = group_elements(
      rows.size(), [&](std::size_t i) { return rows[i]; }, group_of_rows(r), periods(r).size());
  const Mask kept = select_extremes(g, values, n, highest);
  // An instant kept once is kept wherever it occurs in the series.
  std::vector<std::uint8_t> kept_row(size(), 0);
  for (std::size_t k = 0; k < kept.size(); ++k)
    if (kept[k]) kept_row[static_cast<std::size_t>(rows[g.position(k)])] = 1;
  Mask mask(instants.size(), 0);
  for (std::size_t i = 0; i < instants.size(); ++i)
    if (rows[i] >= 0) mask[i] = kept_row[static_cast<std::size_t>(rows[i])];
  return mask;
}

}  // namespace ostrel::core::timeline
