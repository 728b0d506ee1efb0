#pragma once
// A batch of meters under the components of a tariff: each component's plan prepared once with
// everything its meters share (made when a tariff and period are first priced, kept by the
// caller for later batches), then every component evaluated on one meter's row after another,
// so a row is read from memory once for all of them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/fleet/matrix.hpp"

namespace ostrel::core::fleet {

// A meter input of a plan: its slot, its resolution and its labels (UTC ns, ascending).
struct InputLabels {
  std::size_t slot = 0;
  Resolution resolution = Resolution::QUARTER_HOURLY;
  std::vector<std::int64_t> labels;
};

// What every meter of one component shares: the period starts of each resolution, the
// condition masks of Select and Mask at their inputs' period starts, the grouping of those
// starts by the periods of a value condition, the runs of elements that make each period of an
// Aggregate, the results of the steps that read no meter, the months of the cost's periods.
// Read-only once made, so batches may use it from several threads at once.
class Prepared {
 public:
  // The timeline must outlive this object.
  Prepared(const timeline::Timeline& t, Plan plan, std::vector<InputLabels> inputs);

  const timeline::Timeline& timeline() const { return *t_; }
  const Plan& plan() const { return plan_; }
  std::span<const InputLabels> inputs() const { return inputs_; }
  std::span<const std::int64_t> starts(Resolution r) const;

  // Whether input i's labels are exactly its resolution's period starts; if not, where each
  // start is among its labels (-1 where absent).
  bool identical(std::size_t i) const { return identical_[i]; }
  std::span<const std::int64_t> placement(std::size_t i) const { return placement_[i]; }
  bool per_meter(std::size_t step) const { return per_meter_[step]; }
  bool slot_per_meter(std::size_t slot) const { return slot_per_meter_[slot]; }
  Resolution slot_resolution(std::size_t slot) const { return slot_resolution_[slot]; }
  // A slot's values when no meter reads into it (empty otherwise).
  std::span<const double> constant(std::size_t slot) const { return constants_[slot]; }

  const timeline::Mask& mask(std::size_t step) const { return masks_[step]; }
  const timeline::Grouping& grouping(std::size_t step) const { return groupings_[step]; }
  std::span<const std::size_t> runs(std::size_t step) const { return runs_[step]; }

  // Runs of consecutive cost periods that start in one month, with that month's position.
  struct MonthRun {
    std::size_t begin, end, month;
  };
  std::span<const MonthRun> month_runs() const { return month_runs_; }
  std::span<const std::int64_t> month_starts() const { return starts(Resolution::MONTHLY); }
  std::size_t cost_periods() const { return cost_periods_; }

 private:
  const timeline::Timeline* t_;
  Plan plan_;
  std::vector<InputLabels> inputs_;
  std::array<std::vector<std::int64_t>, domain::kResolutionCount> starts_;
  std::vector<std::vector<std::int64_t>> placement_;
  std::vector<bool> identical_, per_meter_, slot_per_meter_;
  std::vector<Resolution> slot_resolution_;
  std::vector<blocks::Values> constants_;
  std::vector<timeline::Mask> masks_;
  std::vector<timeline::Grouping> groupings_;
  std::vector<std::vector<std::size_t>> runs_;
  std::vector<MonthRun> month_runs_;
  std::size_t cost_periods_ = 0;
};

// A matrix of meter data, meters x columns: the value of meter m at column k is
// data[m * row_stride + k * col_stride] (a caller's matrix of either layout, viewed in place).
struct Source {
  const double* data = nullptr;
  std::size_t rows = 0, columns = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 1;
};

// A prepared component and, for each of its inputs, the source that holds it and the column
// of its first label there (its labels take the columns that follow).
struct Part {
  const Prepared* prepared = nullptr;
  struct Feed {  // as the caller gave them, checked by evaluate
    std::int64_t source = 0;
    std::int64_t first = 0;
  };
  std::vector<Feed> feeds;
};

// Per meter (row) of a source: whether any of its values is missing (NaN), infinite or
// negative, for the caller to look at more closely. Reads the matrix once, in its own order.
timeline::Mask suspects(const Source& s);

// Long readings (one per row) that are whole meters one after another, each meter's run of
// readings on the same grid of `step` from a multiple of `step`: the meter count, the run
// length and which meters to look at more closely (as `suspects` marks them). `ids` gives each
// reading's meter (runs of one id, of one length); when it is empty, `length` is the run
// length. nullopt for anything else (for the caller's general reader). Reads each column once.
struct LongGrid {
  std::size_t meters = 0, length = 0;
  timeline::Mask suspect;
};
std::optional<LongGrid> long_grid(std::span<const std::int64_t> ids,
                                  std::span<const std::int64_t> times, std::span<const double> kwh,
                                  std::size_t length, std::int64_t step);

// Every part's cost per meter and month for `meters` meters (every source must hold that many
// rows), evaluated a meter at a time through every part: a row's intermediate results stay in
// cache and the steps reuse their buffers from one meter to the next. Rows that are not
// contiguous are gathered a few meters at a time, each source once, each cache line read once.
std::vector<MonthlyCosts> evaluate(std::span<const Source> sources, std::span<const Part> parts,
                                   std::size_t meters);

}  // namespace ostrel::core::fleet
