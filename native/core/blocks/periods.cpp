#include "core/blocks/periods.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/blocks/fold.hpp"
#include "core/blocks/messages.hpp"
#include "core/common/errors.hpp"
#include "core/common/spans.hpp"

namespace ostrel::core::blocks {

namespace {

// Quarter-hour steps per period of `r`, in timeline order.
Values steps_per_period(const timeline::Timeline& t, Resolution r) {
  const timeline::PeriodIndex& steps = t.periods(Resolution::QUARTER_HOURLY);
  const auto& group_of_row = t.group_of_rows(r);
  Values per_group(t.periods(r).size(), 0.0);
  // Steps of one period are mostly consecutive: count runs, not single steps.
  const size_t n = steps.size();
  for (size_t k = 0; k < n;) {
    const std::int32_t g = group_of_row[steps.start_row(k)];
    size_t run = 0;
    for (; k < n && group_of_row[steps.start_row(k)] == g; ++k) ++run;
    per_group[static_cast<size_t>(g)] += static_cast<double>(run);
  }
  return t.to_period_order(per_group, r);
}

}  // namespace

namespace {

// The per-period slots of a reduction, and its result in key order.
template <Aggregation F>
struct Slots {
  explicit Slots(size_t periods)
      : seen(periods, 0), count(periods, 0), acc(periods, 0.0), comp(periods, 0.0) {}
  timeline::Column<uint8_t> seen;
  timeline::Column<int64_t> count;
  Values acc, comp;
  Fold<F> load(size_t p) const { return {acc[p], comp[p], count[p]}; }
  void store(size_t p, const Fold<F>& f) {
    seen[p] = 1;
    acc[p] = f.a;
    comp[p] = f.c;
    count[p] = f.k;
  }
  // NaN for a period without a present value, the mean's division; the count of periods
  // that held any element at all.
  size_t finish() {
    size_t observed = 0;
    for (size_t q = 0; q < acc.size(); ++q) {
      observed += seen[q];
      if (count[q] == 0) {
        acc[q] = std::numeric_limits<double>::quiet_NaN();
      } else if constexpr (F == Aggregation::Mean) {
        acc[q] /= static_cast<double>(count[q]);
      }
    }
    return observed;
  }
};

// Folds each element into the slot of its period; `row_of(i)` is element i's row or -1.
// Elements of one period usually come in a run, which is folded in registers and stored once.
template <Aggregation F, typename RowOf, typename GroupOf>
void reduce(Slots<F>& slots, size_t n, RowOf row_of, GroupOf gid, std::span<const double> values) {
  size_t i = 0;
  while (i < n) {
    const int64_t row = row_of(i);
    if (row < 0) {
      ++i;
      continue;
    }
    const auto p = static_cast<size_t>(gid(row));
    Fold<F> f = slots.load(p);
    for (; i < n; ++i) {
      const int64_t rw = row_of(i);
      if (rw < 0 || static_cast<size_t>(gid(rw)) != p) break;
      f.add(values[i]);
    }
    slots.store(p, f);
  }
}

template <Aggregation F>
Values reduce_instants(const timeline::Timeline& t, std::span<const int64_t> instants,
                       std::span<const double> values, Resolution r,
                       std::optional<Resolution> resolution) {
  const Rows rows = rows_of(t, instants, resolution);
  const timeline::PeriodIndex& p = t.periods(r);
  Slots<F> slots(p.size());
  const size_t runs = p.run_start.empty() ? p.rows : p.run_start.size();
  auto run_begin = [&](size_t j) { return p.run_start.empty() ? j : size_t(p.run_start[j]); };
  auto run_end = [&](size_t j) { return j + 1 < runs ? run_begin(j + 1) : p.rows; };
  auto id_of = [&](size_t j) { return p.id_of_run.empty() ? j : size_t(p.id_of_run[j]); };
  if (rows.identity) {
    // The whole grid in row order: each run of `r` is a slice of the values. A compensated
    // sum is one long chain of dependent additions, so runs of equal length that belong to
    // distinct periods are folded four at a time, each in its own order as before: the same
    // results, with four chains in flight.
    const double* v = values.data();
    size_t j = 0;
    for (; j + 4 <= runs; j += 4) {
      const size_t b0 = run_begin(j), len = run_begin(j + 1) - b0;
      const size_t b1 = b0 + len, b2 = b1 + len, b3 = b2 + len;
      const size_t q0 = id_of(j), q1 = id_of(j + 1), q2 = id_of(j + 2), q3 = id_of(j + 3);
      const bool even =
          run_begin(j + 2) == b2 && run_begin(j + 3) == b3 && run_end(j + 3) == b3 + len;
      const bool distinct = q0 != q1 && q0 != q2 && q0 != q3 && q1 != q2 && q1 != q3 && q2 != q3;
      if (!even || !distinct) {
        for (size_t t = j; t < j + 4; ++t) {
          const size_t q = id_of(t);
          Fold<F> f = slots.load(q);
          fold_run(f, v + run_begin(t), run_end(t) - run_begin(t));
          slots.store(q, f);
        }
        continue;
      }
      Fold<F> f0 = slots.load(q0), f1 = slots.load(q1), f2 = slots.load(q2), f3 = slots.load(q3);
      for (size_t i = 0; i < len; ++i) {
        f0.add(v[b0 + i]);
        f1.add(v[b1 + i]);
        f2.add(v[b2 + i]);
        f3.add(v[b3 + i]);
      }
      slots.store(q0, f0);
      slots.store(q1, f1);
      slots.store(q2, f2);
      slots.store(q3, f3);
    }
    for (; j < runs; ++j) {
      const size_t q = id_of(j);
      Fold<F> f = slots.load(q);
      fold_run(f, v + run_begin(j), run_end(j) - run_begin(j));
      slots.store(q, f);
    }
  } else if (rows.on_starts) {
    // Rows ascend (the period starts of the input's resolution): their periods come from
    // walking the runs of `r`, without a period id per row.
    size_t j = 0;
    auto gid = [&](int64_t row) {
      while (run_end(j) <= static_cast<size_t>(row)) ++j;
      return static_cast<int64_t>(id_of(j));
    };
    reduce(slots, instants.size(), [&](size_t i) { return rows[i]; }, gid, values);
  } else {
    const auto& column = t.group_of_rows(r);
    auto gid = [&](int64_t row) { return int64_t{column[static_cast<size_t>(row)]}; };
    reduce(slots, instants.size(), [&](size_t i) { return rows.rows[i]; }, gid, values);
  }
  // Periods without any element have no value to place: the relabelling fails as it would
  // for a grouped result shorter than the period index.
  const size_t observed = slots.finish();
  if (observed != slots.acc.size()) return t.to_period_order(Values(observed), r);
  return t.to_period_order(slots.acc, r);
}

}  // namespace

Rows rows_of(const timeline::Timeline& t, std::span<const int64_t> instants,
             std::optional<Resolution> resolution) {
  Rows out;
  if (resolution) {
    const timeline::PeriodIndex& p = t.periods(*resolution);
    const auto& utc = t.calendar().utc;
    bool starts = instants.size() == p.size();
    if (starts && p.every_row_starts())
      starts = same_elements(instants, std::span<const int64_t>(utc));
    else
      for (size_t k = 0; starts && k < instants.size(); ++k)
        starts = instants[k] == utc[p.start_row(k)];
    out.on_starts = starts;
    if (starts && p.every_row_starts()) {
      out.identity = true;
      return out;
    }
    if (starts) {
      out.rows.resize(instants.size());
      for (size_t k = 0; k < instants.size(); ++k)
        out.rows[k] = static_cast<int64_t>(p.start_row(k));
      return out;
    }
  }
  out.rows = t.rows_of(instants);
  return out;
}

Aggregation aggregation_of(std::string_view name) {
  if (name == "sum") return Aggregation::Sum;
  if (name == "mean") return Aggregation::Mean;
  if (name == "max") return Aggregation::Max;
  if (name == "min") return Aggregation::Min;
  unknown_aggregation(name);
}

std::optional<timeline::Mask> condition_flags(const timeline::Timeline& t,
                                              std::span<const int64_t> instants,
                                              std::optional<Resolution> resolution,
                                              const timeline::TimeCondition& c,
                                              std::span<const timeline::HolidayDate> holidays) {
  const Rows rows = rows_of(t, instants, resolution);
  if (rows.identity) return t.match(c, holidays);
  if (!rows.all_on_grid()) return std::nullopt;
  return timeline::match_rows(t.calendar(), rows.rows, c, holidays);
}

std::optional<timeline::Mask> condition_flags(const timeline::Timeline& t,
                                              std::span<const int64_t> instants,
                                              std::optional<Resolution> resolution,
                                              const timeline::Mask& whole) {
  const Rows rows = rows_of(t, instants, resolution);
  if (rows.identity) return whole;
  if (!rows.all_on_grid()) return std::nullopt;
  timeline::Mask flags(rows.rows.size());
  for (size_t k = 0; k < flags.size(); ++k) flags[k] = whole.at(static_cast<size_t>(rows.rows[k]));
  return flags;
}

Values aggregate(const timeline::Timeline& t, std::span<const int64_t> instants,
                 std::span<const double> values, Resolution r, Aggregation f,
                 std::optional<Resolution> resolution) {
  using A = Aggregation;
  switch (f) {
    case A::Sum:
      return reduce_instants<A::Sum>(t, instants, values, r, resolution);
    case A::Mean:
      return reduce_instants<A::Mean>(t, instants, values, r, resolution);
    case A::Max:
      return reduce_instants<A::Max>(t, instants, values, r, resolution);
    case A::Min:
      return reduce_instants<A::Min>(t, instants, values, r, resolution);
  }
  return {};
}

std::vector<std::size_t> period_runs(const timeline::Timeline& t, Resolution r, Resolution source) {
  const timeline::PeriodIndex& from = t.periods(source);
  const timeline::PeriodIndex& to = t.periods(r);
  const auto& group = t.group_of_rows(r);
  std::vector<std::size_t> bounds{0};
  bounds.reserve(to.size() + 1);
  for (size_t k = 0; k < from.size(); ++k) {
    const size_t at = to.position_of_group(static_cast<size_t>(group[from.start_row(k)]));
    if (at == bounds.size() - 1) continue;  // the current period goes on
    if (at != bounds.size()) return {};     // a period left and taken up again, or skipped
    bounds.push_back(k);
  }
  bounds.push_back(from.size());
  if (bounds.size() != to.size() + 1) return {};
  return bounds;
}

timeline::Mask extremes(const timeline::Timeline& t, std::span<const int64_t> instants,
                        std::span<const double> values, Resolution r, int64_t n, bool highest,
                        std::optional<Resolution> resolution) {
  const Rows rows = rows_of(t, instants, resolution);
  // Period starts are distinct instants on the grid, so each element is kept on its own;
  // anything else (repeated or missing instants) is the timeline's general case.
  if (!rows.on_starts) return t.extremes(instants, values, r, n, highest);
  const timeline::Grouping g = timeline::group_elements(
      instants.size(), [&](size_t i) { return rows[i]; }, t.group_of_rows(r), t.periods(r).size());
  const timeline::Mask kept = timeline::select_extremes(g, values, n, highest);
  timeline::Mask mask(instants.size(), 0);
  for (size_t k = 0; k < kept.size(); ++k) mask[g.position(k)] = kept[k];
  return mask;
}

Values amount_scale(const timeline::Timeline& t, Resolution target, Resolution source) {
  const Values target_steps = steps_per_period(t, target);
  const Values source_steps = steps_per_period(t, source);
  const std::vector<int64_t> source_starts = t.period_starts(source);
  const Values filled = forward_fill({source_starts, source_steps}, t.period_starts(target));
  Values out(target_steps.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = target_steps[i] / filled[i];
  return out;
}

Values resample(const timeline::Timeline& t, LabelledView input, Resolution target,
                Resolution source, bool is_rate) {
  Values filled = forward_fill(input, t.period_starts(target));
  if (is_rate) return filled;
  const Values scale = amount_scale(t, target, source);
  for (size_t i = 0; i < filled.size(); ++i) filled[i] *= scale[i];
  return filled;
}

std::vector<int64_t> resample_positions(const timeline::Timeline& t, Resolution target,
                                        Resolution source) {
  const std::vector<int64_t> targets = t.period_starts(target);
  std::vector<int64_t> pos = forward_fill_positions(t.period_starts(source), targets);
  // Every resolution's first period starts at the timeline's first instant, so each target
  // period has an input period; anything else is a malformed timeline.
  for (size_t i = 0; i < pos.size(); ++i)
    if (pos[i] < 0)
      value_error("no " + std::string(domain::value_of(source)) + " period starts at or before " +
                  std::to_string(targets[i]));
  return pos;
}

}  // namespace ostrel::core::blocks
