#pragma once
// A component's inputs for one call: the caller's mappings read once each (on first need) and
// given to each component as series on its evaluation window, which is the request cut to
// the component's validity window.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

#include "bindings/common/convert_maps.hpp"
#include "core/logic/windows.hpp"

namespace ostrel::bindings::logic {
namespace nb = nanobind;

struct EvaluationWindow {
  nb::object start_time;  // what build_timeline is given: the request's own objects, or UTC
  nb::object end_time;    // datetimes of the window when it is cut
  bool cut = false;       // false: the component is valid over the whole request
  core::logic::Window ns{};
};

EvaluationWindow evaluation_window(nb::handle component, nb::handle start_time,
                                   nb::handle end_time);

class InputSeries {
 public:
  // `by_dataset` maps engine datasets to the caller's {datetime: float} mappings.
  explicit InputSeries(nb::dict by_dataset) : by_dataset_(std::move(by_dataset)) {}

  bool has(nb::handle dataset) const;
  // Reads every mapping now (model building makes a series of each, used or not).
  void read_all();
  // The float series of `dataset` named by its id, on the window; KeyError(dataset) when the
  // caller gave none.
  nb::object series(nb::handle dataset, const EvaluationWindow& window);
  // The caller's own key objects of `dataset` on the window when they are plain UTC
  // datetimes at exactly the instants `ns`, in that order; else None.
  nb::object keys_at(nb::handle dataset, const EvaluationWindow& window,
                     std::span<const std::int64_t> ns);

 private:
  nb::dict by_dataset_;
  const convert::InstantValues& read(PyObject* mapping, nb::handle dataset);
  // The caller's mapping of `dataset` as read, or null when there is none.
  const convert::InstantValues* find(nb::handle dataset);
  std::unordered_map<PyObject*, convert::InstantValues> read_;  // by the caller's mapping
};

// A pandas or variable series cut to the window (the same object when the window is not cut).
nb::object cut_to_window(nb::handle series, const EvaluationWindow& window);

// The engine datasets of the caller's `data` keys to the caller's values, every key converted.
nb::dict domain_keys(nb::handle data);

// ValueError unless aware datetimes among the request's bounds lie in the span the engine
// prices (other kinds go on to the checks that name them).
void check_request(nb::handle start_time, nb::handle end_time);

// ValueError unless every input fits the component's timeline: values keyed at period starts
// of their dataset's resolution (keys outside the request are not priced), variables at
// exactly the request's periods. The runner would otherwise drop the former silently and
// place the latter by position.
void check_on_timeline(nb::handle inputs, nb::handle timeline);

// "input dataset 'consumption'": how errors name a dataset's mapping.
std::string input_name(nb::handle dataset);

}  // namespace ostrel::bindings::logic
