// The accessor table across the boundary: core columns from UTC and local wall-clock instants,
// the DataFrame the host sees, and the columns read back from such a DataFrame.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::bindings::engine {

namespace {

// A column read back from a DataFrame into the core's narrower type.
template <typename T>
cal::Column<T> narrowed(nb::handle arr, const char* name) {
  std::vector<std::int64_t> scratch;
  return cal::narrow_column<T>(convert::view_1d<std::int64_t>(arr, scratch), name);
}

template <typename T>
cal::Column<T> int_column(nb::handle frame, const char* name) {
  return narrowed<T>(host::numpy().attr("asarray")(frame[name], nb::arg("dtype") = "int64"), name);
}

template <typename T>
nb::object widened(const cal::Column<T>& col) {
  return convert::to_numpy(std::vector<std::int64_t>(col.begin(), col.end()));
}

}  // namespace

cal::Resolution resolution_key(nb::handle value) {
  if (PyUnicode_Check(value.ptr())) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) throw nb::python_error();
    if (auto r = core::domain::resolution_from_value({data, static_cast<size_t>(size)})) return *r;
  }
  raise_key_error(value);
}

cal::Calendar grid_calendar(nb::handle tz, std::int64_t start, std::int64_t end) {
  const cal::Offsets offsets =
      end > start ? zone_offsets(tz, start, end - 1) : zone_offsets(tz, start, start);
  nb::gil_scoped_release release;
  return cal::grid_calendar(start, end, offsets);
}

cal::Accessors accessors_of(std::span<const std::int64_t> utc, nb::handle tz) {
  if (utc.empty()) return cal::accessors_of(utc, zone_offsets(tz, 0, 0));
  const auto [lo, hi] = std::minmax_element(utc.begin(), utc.end());
  // Instants sparser than days: asking the zone at each is cheaper than at every day.
  if (static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(*lo) >
      utc.size() * static_cast<std::uint64_t>(cal::kNsPerDay)) {
    const std::vector<std::int64_t> offsets = zone_offsets_at(tz, utc);
    nb::gil_scoped_release release;
    return cal::accessors_of(utc, std::span<const std::int64_t>(offsets));
  }
  const cal::Offsets offsets = zone_offsets(tz, *lo, *hi);
  nb::gil_scoped_release release;
  return cal::accessors_of(utc, offsets);
}

nb::object accessors_frame(const cal::Accessors& t, nb::handle index) {
  nb::object idx = index.is_valid()
                       ? nb::borrow(index)
                       : convert::utc_index(std::vector<std::int64_t>(t.utc.begin(), t.utc.end()));
  nb::dict columns;
  cal::for_each_named_column(
      t, [&](const char* name, const auto& col) { columns[name] = widened(col); });
  columns["utc"] = idx;
  // Host dates, so that holiday dates compare equal to the column's values.
  columns["date"] =
      widened(t.date).attr("view")("datetime64[D]").attr("astype")(host::builtins().attr("object"));
  return host::dataframe_type()(columns, nb::arg("index") = idx, nb::arg("copy") = false);
}

cal::Accessors accessors_from_frame(nb::handle frame) {
  cal::Accessors t;
  const std::vector<std::int64_t> utc = convert::instants_ns(frame.attr("index"));
  cal::require_no_missing(utc, "accessor table index");
  t.utc.assign(utc.begin(), utc.end());
  cal::for_each_named_column(t, [&](const char* name, auto& col) {
    col = int_column<typename std::decay_t<decltype(col)>::value_type>(frame, name);
  });
  nb::object dates =
      host::numpy()
          .attr("asarray")(frame["date"].attr("to_numpy")(), nb::arg("dtype") = "datetime64[D]")
          .attr("view")("int64");
  t.date = narrowed<std::int32_t>(dates, "date");
  return t;
}

}  // namespace ostrel::bindings::engine
