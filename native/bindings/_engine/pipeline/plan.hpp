#pragma once
// Block records read into the core's plan of a component, one slot per dataset id: the one
// reader of the records for the pipeline run and the fleet's matrix evaluation.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "bindings/_engine/timeline/timeline.hpp"
#include "core/pipeline/plan.hpp"

namespace ostrel::bindings::engine {

class PlanReader {
 public:
  // Without a timeline, a time condition is left unmatched (its caller has the flags).
  PlanReader(Timeline* t, core::pipeline::Plan& plan) : t_(t), plan_(plan) {}

  std::size_t slot_of(nb::handle dataset_id);
  core::pipeline::Operand operand(nb::handle o);
  // Appends the step of one block record; false (nothing appended) for a block tag the plan
  // does not know.
  bool step(nb::handle f);
  // The dataset id of each slot, as the records give it.
  const std::vector<nb::object>& ids() const { return ids_; }

 private:
  Timeline* t_;
  core::pipeline::Plan& plan_;
  std::unordered_map<std::string, std::size_t> slots_;
  std::vector<nb::object> ids_;
};

// True when `f` is exactly one of the engine's block records (not a subclass, which may
// evaluate its own way).
bool is_block_record(nb::handle f);

}  // namespace ostrel::bindings::engine
