#pragma once
// What every subsystem of the engine module shares: the module itself, its classes by name,
// and conversions of unit and resolution members to their core values.
#include <nanobind/nanobind.h>

#include <string>

#include "core/domain/units.hpp"

namespace ostrel::bindings::engine {
namespace nb = nanobind;

void set_module(nb::module_& m);
nb::module_ module();
// A name of the engine module, e.g. attr("Dataset").
nb::object attr(const char* name);

// Core values of Unit / Resolution members (or their plain string values).
core::domain::Unit to_unit(nb::handle value);
core::domain::Resolution to_resolution(nb::handle value);
// The member of the host enumeration for a core value.
nb::object unit_member(core::domain::Unit u);
nb::object resolution_member(core::domain::Resolution r);

// The text of a str (or str subclass such as an enumeration member).
std::string text_of(nb::handle s);

// The zone of an IANA name or "UTC+01:00"-style offset; ValueError when neither.
nb::object timezone_from_str(nb::handle timezone);

// isinstance against an engine class by name.
bool is_instance(nb::handle obj, const char* class_name);

// Module init, in this order: units, conditions and datasets; the block records; the
// tariff component (which needs the Function union); then the timeline, the kernels, the
// runner, the optimisation layer, the solver adapters and the fleet's matrix evaluation.
void init_domain(nb::module_& m);
void init_blocks(nb::module_& m);
void init_components(nb::module_& m);
void init_timeline(nb::module_& m);
void init_kernels(nb::module_& m);
void init_pipeline(nb::module_& m);
void init_optimisation(nb::module_& m);
void init_solvers(nb::module_& m);
void init_fleet(nb::module_& m);

}  // namespace ostrel::bindings::engine
