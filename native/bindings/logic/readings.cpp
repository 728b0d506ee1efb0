// A meter's readings at a glance, for the pandas door's input checks.
#include "core/logic/readings.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/logic/logic.hpp"

namespace ostrel::bindings::logic {

namespace {

nb::object reading_facts(nb::handle instants, nb::handle values) {
  std::vector<std::int64_t> instants_scratch;
  std::vector<double> values_scratch;
  const core::logic::ReadingFacts f =
      core::logic::reading_facts(convert::view_1d<std::int64_t>(instants, instants_scratch),
                                 convert::view_1d<double>(values, values_scratch));
  return nb::make_tuple(f.finite, f.min, f.max, f.step);
}

}  // namespace

void init_readings(nb::module_& m) {
  m.def("_reading_facts", &reading_facts, nb::arg("instants"), nb::arg("values"),
        "(finite, min, max, step) of int64 instants and float64 values in one pass: whether "
        "every value is finite, their range, and the one step between consecutive instants "
        "(0 unless they ascend by one fixed step).");
}

}  // namespace ostrel::bindings::logic
