#pragma once
// Init steps of the domain subsystem, in dependency order.
#include <nanobind/nanobind.h>

namespace ostrel::bindings::engine {
namespace nb = nanobind;

void init_units(nb::module_& m);       // Unit, Resolution, groupings, Level
void init_conditions(nb::module_& m);  // time and value conditions, Holiday, HolidayOccurrence
void init_datasets(nb::module_& m);    // Dataset, Operand, Range
void init_timezone(nb::module_& m);    // timezone_from_str

}  // namespace ostrel::bindings::engine
