#include "bindings/logic/request.hpp"

#include <nanobind/stl/string.h>

#include "bindings/common/args.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "bindings/logic/logic.hpp"

namespace ostrel::bindings::logic {

ActiveComponents active_components_of(nb::handle converted, nb::handle start_time,
                                      nb::handle end_time) {
  ActiveComponents out;
  std::size_t position = 0;
  for (nb::handle c : converted) {
    if (truth(c.attr("is_active_in_period")(start_time, end_time), false)) {
      out.components.append(c);
      out.positions.push_back(position);
    }
    ++position;
  }
  return out;
}

coro::Task converted_tariff(nb::object client, nb::object tariff_id, bool use_cache) {
  const int given = PyObject_IsInstance(tariff_id.ptr(), attr("Tariff").ptr());
  if (given < 0) throw nb::python_error();
  nb::object cache = attr("_TARIFF_CACHE");
  nb::object tariff = given == 1  ? tariff_id
                      : use_cache ? cache.attr("get")(tariff_id)
                                  : nb::none();
  const bool fetched = tariff.is_none();
  if (fetched) {
    nb::object fetch = client.attr("get_tariff")(tariff_id);
    tariff = co_await coro::awaited(std::move(fetch));
  }
  // Every component is converted (and so validated) before any is filtered, on every call:
  // the cache holds the public tariff.
  nb::list converted;
  for (nb::handle c : tariff.attr("tariff_components")) converted.append(to_domain_component(c));
  // Stored once it converted, also without the cache: a fetch refreshes what later cached
  // calls see, and an answer that does not convert is never served again.
  if (fetched) cache.attr("put")(tariff_id, tariff);
  co_return converted;
}

nb::object Door::run(nb::handle one, nb::handle inputs, nb::kwargs& kwargs) {
  return domain().attr("run_pipeline")(one, inputs, **kwargs);
}

void run_components(nb::handle components, nb::handle holidays, nb::handle start_time,
                    nb::handle end_time, Door& door) {
  nb::object build_timeline = domain().attr("build_timeline");
  for (nb::handle component : components) {
    const EvaluationWindow window = evaluation_window(component, start_time, end_time);
    nb::dict inputs;
    for (nb::handle d : component.attr("datasets")) inputs[d] = door.input(component, d, window);
    nb::list one;
    one.append(component);
    nb::object timeline =
        build_timeline(one, inputs, holidays, nb::arg("start_time") = window.start_time,
                       nb::arg("end_time") = window.end_time);
    check_on_timeline(inputs, timeline);
    nb::kwargs kwargs;
    kwargs["timeline"] = timeline;
    door.run_arguments(component, inputs, kwargs);
    nb::object ctx = door.run(one, inputs, kwargs);
    door.done(component, inputs, ctx);
  }
}

nb::object cost_series(nb::handle component, nb::handle ctx) {
  return ctx.attr("all_series")[component.attr("cost").attr("id")];
}

namespace {

// The pandas door: each input is what the caller's `series_for(component, dataset)` gives,
// cut to the component's window; each run is kept whole (its inputs and context), so that the
// caller can read any series of it. A caller's `run(component, inputs, timeline)` replaces the
// pipeline's run (the fleet prices many meters on the one timeline); its result is kept instead
// of the context.
class SeriesDoor final : public Door {
 public:
  SeriesDoor(nb::object series_for, nb::object run, std::vector<std::size_t> positions)
      : series_for_(std::move(series_for)),
        run_(std::move(run)),
        positions_(std::move(positions)) {}
  nb::object input(nb::handle component, nb::handle dataset,
                   const EvaluationWindow& window) override {
    return cut_to_window(series_for_(component, dataset), window);
  }
  nb::object run(nb::handle one, nb::handle inputs, nb::kwargs& kwargs) override {
    if (run_.is_none()) return Door::run(one, inputs, kwargs);
    return run_(nb::borrow(one)[0], inputs, kwargs["timeline"]);
  }
  void done(nb::handle component, nb::handle inputs, nb::handle ctx) override {
    costs.append(nb::make_tuple(positions_[nb::len(costs)], component, inputs, ctx));
  }
  nb::list costs;  // each run as (position in the tariff, component, inputs, context)

 private:
  nb::object series_for_;
  nb::object run_;
  std::vector<std::size_t> positions_;
};

coro::Task evaluate(nb::object self, nb::object tariff_id, nb::object start_time,
                    nb::object end_time, nb::object series_for, bool use_cache, nb::object run,
                    nb::object converted) {
  check_request(start_time, end_time);
  // A caller that already holds the tariff's engine components (it converted them to read
  // their datasets and zones) gives them, rather than having them converted a second time.
  if (converted.is_none()) {
    nb::object client = nb::inst_ptr<LogicBindings>(self)->client;
    converted = co_await coro::awaited(coro::make_coroutine(
        converted_tariff(client, tariff_id, use_cache), "LogicBindings._tariff"));
  }
  ActiveComponents active = active_components_of(converted, start_time, end_time);
  nb::object pending = self.attr("_fetch_holidays")(active.components, start_time, end_time,
                                                    nb::arg("use_cache") = use_cache);
  nb::object holidays = co_await coro::awaited(std::move(pending));
  SeriesDoor door(series_for, run, active.positions);
  run_components(active.components, holidays, start_time, end_time, door);
  co_return door.costs;
}

nb::object evaluate_method(nb::handle self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{"_evaluate",
                                   {{"tariff"}, {"start_time"}, {"end_time"}, {"series_for"}},
                                   {{"use_cache"}, {"run", false}, {"converted", false}}};
  auto v = args::parse(sig, args, kwargs);
  nb::object run = v[5].is_valid() ? v[5] : nb::none();
  nb::object converted = v[6].is_valid() ? v[6] : nb::none();
  if (!converted.is_none()) args::require_exact(converted, &PyList_Type, "converted");
  return coro::make_coroutine(
      evaluate(nb::borrow(self), v[0], v[1], v[2], v[3], truth(v[4], false), run, converted),
      "LogicBindings._evaluate");
}

}  // namespace

void init_request(nb::class_<LogicBindings>& cls) {
  cls.def("_evaluate", &evaluate_method,
          nb::sig("def _evaluate(self, tariff: uuid.UUID | Tariff, start_time: datetime.datetime, "
                  "end_time: datetime.datetime, series_for: collections.abc.Callable["
                  "[domain.TariffComponent, domain.Dataset], typing.Any], *, "
                  "use_cache: bool, run: collections.abc.Callable[..., typing.Any] | None = None, "
                  "converted: list[domain.TariffComponent] | None = None) "
                  "-> collections.abc.Coroutine[typing.Any, typing.Any, "
                  "list[tuple[int, domain.TariffComponent, dict[domain.Dataset, typing.Any], "
                  "typing.Any]]]"),
          "Coroutine: each active component's run as (position in the tariff, engine component, "
          "inputs, execution context); `tariff` is a public Tariff or an id, and "
          "`series_for(component, dataset)` gives each input series. With "
          "`run(component, inputs, timeline)`, what it returns stands in for the context; "
          "`converted`, the tariff's components already converted to engine ones (in order), "
          "stands in for converting them.");
}

}  // namespace ostrel::bindings::logic
