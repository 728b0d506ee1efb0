#pragma once
// Init steps of the domain subsystem, in dependency order.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "bindings/common/records.hpp"
#include "core/domain/records.hpp"
#include "core/domain/units.hpp"

namespace ostrel::bindings::engine {
namespace nb = nanobind;

void init_units(nb::module_& m);       // Unit, Resolution, groupings, Level
void init_conditions(nb::module_& m);  // time and value conditions, Holiday, HolidayOccurrence
void init_datasets(nb::module_& m);    // Dataset, Operand, Range
void init_timezone(nb::module_& m);    // timezone_from_str

// A string enumeration with the members of a core table (rows with `name` and `value`).
template <typename Table>
records::EnumBuilder string_enum(nb::module_& m, const char* name, const char* doc,
                                 const Table& members) {
  records::EnumBuilder b(m, name);
  b.doc(doc);
  for (const auto& row : members)
    b.member(std::string(row.name).c_str(), std::string(row.value).c_str());
  return b;
}

// A record as the core declares it (`own`: a class nested in it, e.g. an enumeration), ready
// for its native validators and methods.
records::ModelBuilder declared(nb::module_& m, const core::domain::RecordDeclaration& decl,
                               nb::handle own = nb::handle());

// An instance of one of the seven time-condition records (value conditions are not).
bool is_time_condition(nb::handle condition);
// The finest resolution a time condition needs; TypeError naming min_condition_resolution for
// anything but a time condition.
core::domain::Resolution min_condition_resolution(nb::handle condition);
// The Holiday members of holiday identifiers, in order.
nb::list holiday_members(const std::vector<std::string>& ids);

}  // namespace ostrel::bindings::engine
