#pragma once
// Evaluation of the blocks that change a series' resolution, on the periods of a timeline.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/blocks/numeric.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::core::blocks {

using domain::Resolution;

enum class Aggregation { Sum, Mean, Max, Min };

// The aggregation of a record's function name ("sum", "mean", "max", "min"); ValueError
// "unknown aggregation function '<name>'" for any other.
Aggregation aggregation_of(std::string_view name);

// The timeline rows of a series' instants (-1 for an instant off the timeline). A series of
// the pipeline sits exactly on the period starts of its dataset's resolution (`resolution`),
// which gives its rows without a lookup per instant.
struct Rows {
  Labels rows;
  bool identity = false;   // row i is element i (the rows vector is then left empty)
  bool on_starts = false;  // the instants are the period starts (so distinct, all on the grid)
  int64_t operator[](size_t i) const { return identity ? static_cast<int64_t>(i) : rows[i]; }
  // Every instant found a row of the grid.
  bool all_on_grid() const {
    for (int64_t r : rows)
      if (r < 0) return false;
    return true;
  }
};
Rows rows_of(const timeline::Timeline& t, std::span<const int64_t> instants,
             std::optional<Resolution> resolution);

// A calendar condition's flag at each instant, the instants placed as rows_of places them:
// the condition over the whole grid when they are the grid in order, else at each one's row.
// Nothing when an instant is off the grid (the timeline's own lookup then reports it). The
// second form reads the flags off the condition's mask of every row (`whole`).
std::optional<timeline::Mask> condition_flags(const timeline::Timeline& t,
                                              std::span<const int64_t> instants,
                                              std::optional<Resolution> resolution,
                                              const timeline::TimeCondition& c,
                                              std::span<const timeline::HolidayDate> holidays);
std::optional<timeline::Mask> condition_flags(const timeline::Timeline& t,
                                              std::span<const int64_t> instants,
                                              std::optional<Resolution> resolution,
                                              const timeline::Mask& whole);

// One value per period of `r`, in timeline order: the reduction of the values whose instant
// lies in that period (instants off the timeline take no part; missing values are skipped, a
// period without any present value gives NaN, a sum included). Every period must hold at least
// one element, else the relabelling fails with the length-mismatch ValueError. `resolution`
// is the input's own, a hint for placing its instants.
Values aggregate(const timeline::Timeline& t, std::span<const int64_t> instants,
                 std::span<const double> values, Resolution r, Aggregation f,
                 std::optional<Resolution> resolution = std::nullopt);

// Where each period of `r` holds a run of consecutive period starts of the finer `source`
// (hours in days, days in months...): the bounds of those runs, one more than the periods, in
// row order. Empty when some period's elements are not consecutive (weeks across months).
std::vector<std::size_t> period_runs(const timeline::Timeline& t, Resolution r, Resolution source);

// aggregate() of a series on the period starts of `source`, given its period_runs: the same
// reduction of each period's elements in the same order, without placing each element.
Values aggregate_runs(std::span<const double> values, std::span<const std::size_t> bounds,
                      Aggregation f);
// The same into `out` (one element per run), for callers that keep their buffers.
void aggregate_runs(std::span<const double> values, std::span<const std::size_t> bounds,
                    Aggregation f, std::span<double> out);

// The n highest (or lowest) values per period of `r`, ties to the earlier element, NaN never
// kept; true at every element whose instant was kept. As the timeline's own selection, with
// the same placement hint as aggregate.
timeline::Mask extremes(const timeline::Timeline& t, std::span<const int64_t> instants,
                        std::span<const double> values, Resolution r, int64_t n, bool highest,
                        std::optional<Resolution> resolution);

// Per period of `target` (timeline order): its number of quarter-hour steps over the number of
// steps of the `source` period it starts in. Counted on the timeline, so daylight-saving days
// (92 or 100 quarter-hours) get their real share.
Values amount_scale(const timeline::Timeline& t, Resolution target, Resolution source);

// The input carried forward by label onto the period starts of `target`; amounts (when
// `is_rate` is false) are then split by amount_scale.
Values resample(const timeline::Timeline& t, LabelledView input, Resolution target,
                Resolution source, bool is_rate);

// For each period start of `target`, the position among the period starts of `source` of the
// latest one at or before it.
std::vector<int64_t> resample_positions(const timeline::Timeline& t, Resolution target,
                                        Resolution source);

}  // namespace ostrel::core::blocks
