#include "bindings/common/convert.hpp"

namespace ostrel::bindings::convert {

namespace {
nb::module_ pandas() { return nb::module_::import_("pandas"); }
nb::module_ numpy() { return nb::module_::import_("numpy"); }
}  // namespace

nb::object read_only(nb::object array) {
  array.attr("flags").attr("writeable") = false;
  return array;
}

std::vector<int64_t> instants_ns(nb::handle index) {
  nb::object idx = pandas().attr("DatetimeIndex")(index);
  if (idx.attr("tz").is_none()) throw nb::type_error("index must be time-zone aware");
  nb::object ns = idx.attr("as_unit")("ns").attr("asi8");
  std::vector<int64_t> scratch;
  auto view = view_1d<int64_t>(ns, scratch);
  return std::vector<int64_t>(view.begin(), view.end());
}

std::vector<double> values_f64(nb::handle series_or_array) {
  nb::object arr = nb::borrow(series_or_array);
  if (nb::hasattr(arr, "to_numpy")) arr = arr.attr("to_numpy")();
  arr = numpy().attr("asarray")(arr, nb::arg("dtype") = "float64");
  std::vector<double> scratch;
  auto view = view_1d<double>(arr, scratch);
  return std::vector<double>(view.begin(), view.end());
}

nb::object utc_index(std::vector<int64_t>&& ns) {
  nb::object arr = to_numpy(std::move(ns)).attr("view")("datetime64[ns]");
  return pandas().attr("DatetimeIndex")(arr, nb::arg("tz") = "UTC");
}

nb::object series(std::vector<double>&& values, nb::handle index, nb::handle name) {
  // Looked up once: every result of every step comes through here.
  static nb::handle type = nb::object(pandas().attr("Series")).release();
  return type(to_numpy(std::move(values)), nb::arg("index") = index, nb::arg("name") = name,
              nb::arg("copy") = false);
}

}  // namespace ostrel::bindings::convert
