// LogicBindings: the one class callers use. Every operation returns a native coroutine that
// suspends only inside the API client's calls; each component is evaluated alone on its own
// timeline over its evaluation window.
#include "bindings/logic/facade.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/convert_maps.hpp"
#include "bindings/common/coroutine.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "bindings/logic/inputs.hpp"
#include "bindings/logic/logic.hpp"
#include "bindings/logic/request.hpp"
#include "core/logic/windows.hpp"

namespace ostrel::bindings::logic {

namespace {

using coro::awaited;

coro::Task active_components(nb::object client, nb::object tariff_id, nb::object start_time,
                             nb::object end_time, bool use_cache) {
  check_request(start_time, end_time);
  nb::object converted = co_await awaited(coro::make_coroutine(
      converted_tariff(client, tariff_id, use_cache), "LogicBindings._tariff"));
  co_return active_components_of(converted, start_time, end_time).components;
}

coro::Task input_datasets(nb::object self, nb::object tariff_id, nb::object start_time,
                          nb::object end_time, bool use_cache) {
  nb::object pending = self.attr("_get_active_components")(tariff_id, start_time, end_time,
                                                           nb::arg("use_cache") = use_cache);
  nb::object components = co_await awaited(std::move(pending));
  nb::dict distinct;  // engine datasets in first-seen order; equal ones collapse
  for (nb::handle c : components)
    for (nb::handle d : c.attr("datasets")) distinct[d] = nb::none();
  std::vector<nb::object> publics;
  std::vector<std::string> ids;
  for (nb::handle d : distinct.keys()) {
    publics.push_back(to_public_dataset(d));
    ids.push_back(nb::cast<std::string>(nb::str(publics.back().attr("id"))));
  }
  nb::list out;
  for (std::size_t i : core::logic::order_by(ids)) out.append(publics[i]);
  co_return out;
}

// The door of calculate_cost: the caller's {datetime: float} mappings, each read once. A cost
// on the caller's own instants is keyed by the caller's key objects.
class MappingDoor final : public Door {
 public:
  explicit MappingDoor(nb::handle data) : inputs_(domain_keys(data)) {}
  nb::object input(nb::handle, nb::handle dataset, const EvaluationWindow& window) override {
    window_ = window;
    return inputs_.series(dataset, window);
  }
  void done(nb::handle component, nb::handle, nb::handle ctx) override {
    nb::object series = cost_series(component, ctx);
    if (assertions_enabled() && !nb::isinstance(series, host::series_type())) {
      PyErr_SetNone(PyExc_AssertionError);
      throw nb::python_error();
    }
    costs.append(to_float_cost(series, component, caller_keys(component, series)));
  }
  nb::list costs;

 private:
  nb::object caller_keys(nb::handle component, nb::handle series) {
    if (!nb::isinstance(series, host::series_type())) return nb::none();
    nb::object index = series.attr("index");
    if (!index.attr("tz").is(convert::utc_zone())) return nb::none();
    const std::vector<std::int64_t> ns = convert::instants_ns(index);
    for (nb::handle d : component.attr("datasets")) {
      nb::object keys = inputs_.keys_at(d, window_, ns);
      if (!keys.is_none()) return keys;
    }
    return nb::none();
  }
  InputSeries inputs_;
  EvaluationWindow window_;
};

nb::object make(coro::Task&& task, const char* name) {
  return coro::make_coroutine(std::move(task), name);
}

nb::object client_of(nb::handle self) { return nb::inst_ptr<LogicBindings>(self)->client; }

nb::object get_input_datasets_method(nb::handle self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{
      "get_input_datasets", {{"tariff_id"}, {"start_time"}, {"end_time"}}, {{"use_cache", false}}};
  auto v = args::parse(sig, args, kwargs);
  return make(input_datasets(nb::borrow(self), v[0], v[1], v[2], truth(v[3], true)),
              "LogicBindings.get_input_datasets");
}

nb::object calculate_cost_method(nb::handle self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{"calculate_cost",
                                   {{"tariff_id"}, {"start_time"}, {"end_time"}, {"data"}},
                                   {{"use_cache", false}}};
  auto v = args::parse(sig, args, kwargs);
  args::require_exact(v[3], &PyDict_Type, "data");
  nb::object data = v[3];
  return make(run_request(nb::borrow(self), v[0], v[1], v[2], truth(v[4], true),
                          [data] { return MappingDoor(data); }),
              "LogicBindings.calculate_cost");
}

nb::object active_components_method(nb::handle self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{
      "_get_active_components", {{"tariff_id"}, {"start_time"}, {"end_time"}}, {{"use_cache"}}};
  auto v = args::parse(sig, args, kwargs);
  return make(active_components(client_of(self), v[0], v[1], v[2], truth(v[3], false)),
              "LogicBindings._get_active_components");
}

nb::object fetch_holidays_method(nb::handle self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{
      "_fetch_holidays", {{"components"}, {"start_time"}, {"end_time"}}, {{"use_cache"}}};
  auto v = args::parse(sig, args, kwargs);
  args::require_exact(v[0], &PyList_Type, "components");
  return make(fetch_holidays(client_of(self), v[0], v[1], v[2], truth(v[3], false)),
              "LogicBindings._fetch_holidays");
}

}  // namespace

void init_facade(nb::module_& m) {
  nb::class_<LogicBindings> cls(
      m, "LogicBindings",
      nb::type_slots(host::HeldObjectSlots<LogicBindings, &LogicBindings::client>::slots),
      "The tariff engine's facade: costs, input datasets and solver "
      "formulations of a tariff fetched by id. Every call also takes "
      "a public Tariff in place of the id, used as given (neither "
      "fetched nor cached).");
  cls.def(
      "__init__",
      [](LogicBindings* self, nb::args args, nb::kwargs kwargs) {
        static const args::Signature sig{"__init__", {{"api_key"}}, {}};
        auto v = args::parse(sig, args, kwargs);
        args::require_exact(v[0], &PyUnicode_Type, "api_key");
        nb::object client = attr("APIClient")(nb::arg("api_key") = v[0]);
        new (self) LogicBindings{std::move(client)};
      },
      nb::sig("def __init__(self, api_key: str) -> None"));
  cls.def("get_input_datasets", &get_input_datasets_method,
          nb::sig("def get_input_datasets(self, tariff_id: uuid.UUID | Tariff, start_time: "
                  "datetime.datetime, "
                  "end_time: datetime.datetime, *, use_cache: bool = True) -> "
                  "collections.abc.Coroutine[typing.Any, typing.Any, list[Dataset]]"),
          "Coroutine: the public datasets the tariff's active components need, by id.");
  cls.def(
      "calculate_cost", &calculate_cost_method,
      nb::sig(
          "def calculate_cost(self, tariff_id: uuid.UUID | Tariff, start_time: datetime.datetime, "
          "end_time: datetime.datetime, "
          "data: dict[Dataset, dict[datetime.datetime, float]], *, "
          "use_cache: bool = True) -> "
          "collections.abc.Coroutine[typing.Any, typing.Any, list[ComponentCost[float]]]"),
      "Coroutine: a ComponentCost per active component, in component order.");
  cls.def("_get_active_components", &active_components_method,
          nb::sig("def _get_active_components(self, tariff_id: uuid.UUID | Tariff, "
                  "start_time: datetime.datetime, end_time: datetime.datetime, *, "
                  "use_cache: bool) -> collections.abc.Coroutine[typing.Any, typing.Any, "
                  "list[domain.TariffComponent]]"),
          "Coroutine: the tariff's engine components active in the period.");
  cls.def("_fetch_holidays", &fetch_holidays_method,
          nb::sig("def _fetch_holidays(self, components: list[domain.TariffComponent], "
                  "start_time: datetime.datetime, end_time: datetime.datetime, *, "
                  "use_cache: bool) -> collections.abc.Coroutine[typing.Any, typing.Any, "
                  "list[domain.HolidayOccurrence]]"),
          "Coroutine: the occurrences of the holidays the components name.");
  init_model_methods(cls);
  init_request(cls);
}

}  // namespace ostrel::bindings::logic
