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

nb::object spread_over_quarters(nb::handle starts, nb::handle ends, nb::handle values,
                                std::int64_t lo, std::int64_t hi) {
  std::vector<std::int64_t> starts_scratch, ends_scratch;
  std::vector<double> values_scratch;
  core::logic::Spread out =
      core::logic::spread_over_quarters(convert::view_1d<std::int64_t>(starts, starts_scratch),
                                        convert::view_1d<std::int64_t>(ends, ends_scratch),
                                        convert::view_1d<double>(values, values_scratch), lo, hi);
  return nb::make_tuple(convert::to_numpy(std::move(out.instants)),
                        convert::to_numpy(std::move(out.values)));
}

nb::object spread_evenly(nb::handle values, std::uint64_t per) {
  std::vector<double> scratch;
  return convert::to_numpy(
      core::logic::spread_evenly(convert::view_1d<double>(values, scratch), per));
}

}  // namespace

void init_readings(nb::module_& m) {
  m.def("_spread_over_quarters", &spread_over_quarters, nb::arg("starts"), nb::arg("ends"),
        nb::arg("values"), nb::arg("lo"), nb::arg("hi"),
        "(instants, values): each reading's value shared evenly among the quarter-hours from its "
        "start to its end (UTC nanoseconds), those in [lo, hi) kept.");
  m.def("_spread_evenly", &spread_evenly, nb::arg("values"), nb::arg("per"),
        "Each value's share repeated over its `per` quarter-hours, as _spread_over_quarters "
        "gives readings of one length that follow one another without a gap.");
  m.def("_reading_facts", &reading_facts, nb::arg("instants"), nb::arg("values"),
        "(finite, min, max, step) of int64 instants and float64 values in one pass: whether "
        "every value is finite, their range, and the one step between consecutive instants "
        "(0 unless they ascend by one fixed step).");
}

}  // namespace ostrel::bindings::logic
