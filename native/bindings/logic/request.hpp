#pragma once
// One request, orchestrated once for every door (calculate_cost, the model-building calls and
// the pandas door): the tariff's active components with their places in the tariff, then for
// each component its evaluation window, its inputs on that window, one timeline and one run.
// A door says only where inputs come from, how the pipeline runs and what becomes of a run.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

#include "bindings/common/coroutine.hpp"
#include "bindings/logic/facade.hpp"
#include "bindings/logic/inputs.hpp"

namespace ostrel::bindings::logic {
namespace nb = nanobind;

struct ActiveComponents {
  nb::list components;                 // engine components active in the period, in order
  std::vector<std::size_t> positions;  // each one's place among the tariff's components
};

// The components of `converted` (a tariff's components as engine ones, in order) active in
// [start, end).
ActiveComponents active_components_of(nb::handle converted, nb::handle start_time,
                                      nb::handle end_time);

// The components of a request's tariff converted to engine ones, in order: every one, so that
// an invalid one fails the request even when it is not active. The tariff is the caller's own
// when they gave a public `Tariff`, else the one fetched by id through the client (from the
// cache when allowed); a fetched tariff is stored in the cache once it converted, also
// without the cache.
coro::Task converted_tariff(nb::object client, nb::object tariff_id, bool use_cache);

class Door {
 public:
  virtual ~Door() = default;
  // The input of `dataset` for `component`, on the component's evaluation window.
  virtual nb::object input(nb::handle component, nb::handle dataset,
                           const EvaluationWindow& window) = 0;
  // Sets run_pipeline's keyword arguments beyond the timeline, for `component` on `inputs`.
  virtual void run_arguments(nb::handle component, nb::handle inputs, nb::kwargs& kwargs) {
    (void)component, (void)inputs, (void)kwargs;
  }
  // The run of one component (a list of one) on its timeline: the engine's run_pipeline
  // unless the door runs it another way (many meters at once).
  virtual nb::object run(nb::handle one, nb::handle inputs, nb::kwargs& kwargs);
  // What the door keeps of a component's run.
  virtual void done(nb::handle component, nb::handle inputs, nb::handle ctx) = 0;
};

// Runs each component alone on its own timeline over its evaluation window.
void run_components(nb::handle components, nb::handle holidays, nb::handle start_time,
                    nb::handle end_time, Door& door);

// A facade call: the active components and their holidays through the facade's own methods
// (which a subclass may override), then every component run through the door `make_door`
// makes once both are in; the call's value is the door's `costs`.
template <typename MakeDoor>
coro::Task run_request(nb::object self, nb::object tariff_id, nb::object start_time,
                       nb::object end_time, bool use_cache, MakeDoor make_door) {
  nb::object pending = self.attr("_get_active_components")(tariff_id, start_time, end_time,
                                                           nb::arg("use_cache") = use_cache);
  nb::object components = co_await coro::awaited(std::move(pending));
  pending = self.attr("_fetch_holidays")(components, start_time, end_time,
                                         nb::arg("use_cache") = use_cache);
  nb::object holidays = co_await coro::awaited(std::move(pending));
  auto door = make_door();
  run_components(components, holidays, start_time, end_time, door);
  co_return door.costs;
}

// The series of a component's cost in a finished run.
nb::object cost_series(nb::handle component, nb::handle ctx);

// LogicBindings._evaluate: the pandas door.
void init_request(nb::class_<LogicBindings>& cls);

}  // namespace ostrel::bindings::logic
