// Unit, Resolution, the unit groupings and Level.
#include "core/domain/units.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/host.hpp"
#include "bindings/common/records.hpp"
#include "core/common/text.hpp"

namespace ostrel::bindings::engine {

namespace cd = core::domain;
using namespace records;

namespace {

nb::object make_unit(nb::module_& m) {
  EnumBuilder b =
      string_enum(m, "Unit", "Physical or monetary unit of a series or level.", cd::kUnits);
  b.attr("is_amount", method(
                          "is_amount", [](nb::handle self) { return cd::is_amount(to_unit(self)); },
                          "True for quantities that add up over time: currencies, kWh and hours."));
  b.attr("is_rate",
         method(
             "is_rate", [](nb::handle self) { return cd::is_rate(to_unit(self)); },
             "True for intensive quantities that keep their value when an interval is split."));
  return b.build();
}

// Resolution ordering converts the right operand to a member first, so an unknown string
// fails with the enumeration's own ValueError instead of answering NotImplemented.
template <typename Cmp>
nb::object compare(const char* name, Cmp cmp) {
  return nb::cpp_function(
      [cmp](nb::handle self, nb::handle other) {
        nb::object cls = nb::borrow(self.type());
        nb::object rhs = cls(other);
        return cmp(cd::index_of(to_resolution(self)), cd::index_of(to_resolution(rhs)));
      },
      nb::is_method(), nb::name(name), nb::arg("other").none());
}

nb::object make_resolution(nb::module_& m) {
  EnumBuilder b =
      string_enum(m, "Resolution", "Temporal resolution of a series, ordered from fine to coarse.",
                  cd::kResolutions);
  b.attr("_index", method(
                       "_index", [](nb::handle self) { return cd::index_of(to_resolution(self)); },
                       "Zero-based position in the order from quarter-hourly to yearly."));
  b.attr("__lt__", compare("__lt__", [](int a, int b) { return a < b; }));
  b.attr("__le__", compare("__le__", [](int a, int b) { return a <= b; }));
  b.attr("__gt__", compare("__gt__", [](int a, int b) { return a > b; }));
  b.attr("__ge__", compare("__ge__", [](int a, int b) { return a >= b; }));
  b.attr("__hash__", method("__hash__", [](nb::handle self) {
           Py_hash_t h = PyUnicode_Type.tp_hash(self.ptr());
           if (h == -1) throw nb::python_error();
           return static_cast<Py_ssize_t>(h);
         }));
  b.attr("as_relativedelta", method(
                                 "as_relativedelta",
                                 [](nb::handle self) {
                                   const auto& info =
                                       cd::kResolutions[static_cast<size_t>(to_resolution(self))];
                                   nb::handle rd = host::relativedelta_type();
                                   nb::dict kwargs;
                                   kwargs[std::string(info.step_unit).c_str()] = info.step_amount;
                                   return rd(**kwargs);
                                 },
                                 "The calendar step of one period as a relativedelta."));
  return b.build();
}

nb::object frozen_set(const nb::list& items) { return builtin("frozenset")(items); }

void make_groupings(nb::module_& m) {
  nb::object unit = m.attr("Unit");
  auto member = [&](cd::Unit u) { return unit_member(u); };
  nb::list currencies, energy, power;
  nb::dict currency_units;
  for (auto c : cd::kCurrencies) {
    currencies.append(member(c));
    auto [e, p] = cd::currency_units(c);
    currency_units[member(c)] = nb::make_tuple(member(e), member(p));
  }
  for (auto u : cd::kEnergyRates) energy.append(member(u));
  for (auto u : cd::kPowerRates) power.append(member(u));
  nb::handle proxy = host::mapping_proxy_type();
  m.attr("CURRENCIES") = frozen_set(currencies);
  m.attr("CURRENCY_UNITS") = proxy(currency_units);
  nb::object lit = host::typing().attr("Literal");
  m.attr("EnergyRateUnit") = lit[nb::tuple(energy)];
  m.attr("PowerRateUnit") = lit[nb::tuple(power)];
  m.attr("_ENERGY_RATES") = frozen_set(energy);
  m.attr("_POWER_RATES") = frozen_set(power);
  nb::list all_rates;
  for (nb::handle h : energy) all_rates.append(h);
  for (nb::handle h : power) all_rates.append(h);
  m.attr("RATE_UNITS") = frozen_set(all_rates);
}

void make_level(nb::module_& m) {
  ModelBuilder b = declared(m, cd::kLevelRecord);
  b.attr("__str__", method("__str__", [](nb::handle self) {
           const double v = nb::cast<double>(self.attr("value"));
           return core::repr_float(v) + " " + text_of(self.attr("unit"));
         }));
  b.build();
}

}  // namespace

void init_units(nb::module_& m) {
  m.attr("Unit") = make_unit(m);
  m.attr("Resolution") = make_resolution(m);
  make_groupings(m);
  make_level(m);
}

}  // namespace ostrel::bindings::engine
