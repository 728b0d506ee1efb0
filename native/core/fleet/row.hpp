#pragma once
// The steps of one prepared component run on one meter's row at a time.
#include <cstddef>
#include <span>
#include <vector>

#include "core/fleet/batch.hpp"

namespace ostrel::core::fleet {

// A result of the pipeline for the current meter: its own values, or a view of values shared
// by every meter (a step that reads no meter input) or of the caller's input row.
struct Slot {
  Resolution resolution = Resolution::QUARTER_HOURLY;
  blocks::Values own;
  std::span<const double> view;
  void set(blocks::Values&& v) {
    own = std::move(v);
    view = own;
  }
};

// The step's result from the current values of its operands, by the blocks' own kernels.
blocks::Values compute(const Prepared& p, std::size_t k, const std::vector<Slot>& slots);

// One component's slots for a run of meters, kept from one meter to the next: a step that
// writes its result in place reuses the buffer it filled for the previous meter.
class RowRun {
 public:
  explicit RowRun(const Prepared& p);

  // The meter's row of input i (the values at the input's labels).
  void feed(std::size_t i, std::span<const double> row);
  // Runs the steps that read a meter; returns the cost's values.
  std::span<const double> run();

 private:
  bool in_place(std::size_t k);
  const Prepared& p_;
  std::vector<Slot> slots_;
};

}  // namespace ostrel::core::fleet
