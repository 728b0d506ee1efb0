// The public facade's module. Loading it loads the engine and the expiring cache and builds
// the module-wide state every facade instance shares: the validating adapter over the engine's
// Function union and the one-hour caches of tariffs and holiday occurrences. The outside
// collaborators (API client, ComponentCost, the public models) are module attributes, looked
// up at call time so that a caller can substitute them.
#include <nanobind/nanobind.h>

#include "bindings/common/host.hpp"
#include "bindings/logic/logic.hpp"

namespace nb = nanobind;
using namespace ostrel::bindings;

NB_MODULE(logic, m) {
  host::init_module(m);
  logic::set_module(m);
  nb::object domain = host::own_module("ostrelpy.bindings._engine");
  nb::object cache = host::own_module("ostrelpy.bindings.expiry_cache");
  m.attr("domain") = domain;
  nb::object expiry_cache = cache.attr("ExpiryCache");
  m.attr("ExpiryCache") = expiry_cache;

  m.attr("APIClient") = host::own_module("ostrelpy.api_client").attr("APIClient");
  m.attr("ComponentCost") = host::own_module("ostrelpy.component_cost").attr("ComponentCost");
  nb::object models = host::own_module("ostrelpy.models");
  for (const char* name : {"Dataset", "Holiday", "HolidayOccurrence", "Tariff", "TariffComponent"})
    m.attr(name) = models.attr(name);

  m.attr("_FUNCTION_ADAPTER") = host::pydantic().attr("TypeAdapter")(domain.attr("Function"));
  m.attr("Variable") = host::typing().attr("TypeVar")("Variable");
  m.attr("ApiKey") = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  nb::object hour = host::timedelta_type()(nb::arg("hours") = 1);
  nb::object ttl = hour.attr("total_seconds")();
  m.attr("_CACHE_TTL_SECONDS") = ttl;
  m.attr("_TARIFF_CACHE") = expiry_cache(ttl);
  m.attr("_HOLIDAY_CACHE") = expiry_cache(ttl);
  m.attr("_HOLIDAYS_ADAPTER") = nb::none();    // (engine class, list adapter), made on first use
  m.attr("_HOLIDAYS_CONVERTED") = nb::list();  // the last answer converted, with its records

  logic::init_conversions(m);
  logic::init_facade(m);
  logic::init_bill(m);
  logic::init_readings(m);
}
