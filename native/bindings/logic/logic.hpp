#pragma once
// What the facade's files share: the module namespace (looked up at call time, so that a
// caller can substitute the client, the public models or the caches), the conversions
// between public and engine records, and the holiday source.
#include <nanobind/nanobind.h>

#include "bindings/common/coroutine.hpp"

namespace ostrel::bindings::logic {
namespace nb = nanobind;

void set_module(nb::module_& m);
// A name of the logic module as it is now (e.g. attr("APIClient")).
nb::object attr(const char* name);
// The engine module (`domain` in the module namespace).
nb::object domain();

// Public records to engine records and back, by pydantic's validation from attributes.
nb::object to_domain_dataset(nb::handle dataset);
nb::object to_public_dataset(nb::handle dataset);
nb::object to_domain_holiday(nb::handle occurrence);
// A list of engine occurrences, each converted as to_domain_holiday converts it.
nb::object to_domain_holidays(nb::handle occurrences);
nb::object to_public_component(nb::handle component);
// A fresh engine component (new random id) validated field by field.
nb::object to_domain_component(nb::handle component);
// ComponentCost of the public component and {interval start: float} in the series' zone, on
// the given key objects when there are some (one per value).
nb::object to_float_cost(nb::handle series, nb::handle component, nb::handle keys = nb::handle());

// The occurrences of the holidays the components name, for the years around the request.
coro::Task fetch_holidays(nb::object client, nb::object components, nb::object start_time,
                          nb::object end_time, bool use_cache);

void init_conversions(nb::module_& m);
void init_facade(nb::module_& m);
void init_bill(nb::module_& m);
void init_readings(nb::module_& m);

}  // namespace ostrel::bindings::logic
