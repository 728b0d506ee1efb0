// The accessor table across the boundary: core columns from UTC and local wall-clock instants,
// the DataFrame the host sees, and the columns read back from such a DataFrame.
#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine {

namespace {

nb::module_ pandas() { return nb::module_::import_("pandas"); }
nb::module_ numpy() { return nb::module_::import_("numpy"); }

std::vector<std::int64_t> int_column(nb::handle frame, const char* name) {
  nb::object arr = numpy().attr("asarray")(frame[name], nb::arg("dtype") = "int64");
  std::vector<std::int64_t> scratch;
  auto view = convert::view_1d<std::int64_t>(arr, scratch);
  return {view.begin(), view.end()};
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

std::int64_t instant_ns(nb::handle when, const char* what) {
  nb::object ts = pandas().attr("Timestamp")(when);
  if (ts.attr("tz").is_none())
    throw nb::type_error((std::string(what) + " must be a time-zone aware date-time").c_str());
  return nb::cast<std::int64_t>(ts.attr("as_unit")("ns").attr("value"));
}

cal::Accessors accessors_of(std::vector<std::int64_t>&& utc, nb::handle tz) {
  nb::module_ dt = nb::module_::import_("datetime");
  if (nb::isinstance(tz, dt.attr("timezone"))) {
    nb::object delta = tz.attr("utcoffset")(nb::none());
    const std::int64_t offset = nb::cast<std::int64_t>(
        delta.attr("__floordiv__")(dt.attr("timedelta")(nb::arg("microseconds") = 1))) * 1000;
    nb::gil_scoped_release release;
    return cal::calculate_accessors_fixed(utc, offset);
  }
  // One vectorised conversion to local wall-clock time for the whole grid.
  std::vector<std::int64_t> copy(utc);
  nb::object index = convert::utc_index(std::move(copy));
  nb::object local = index.attr("tz_convert")(tz).attr("tz_localize")(nb::none()).attr("asi8");
  std::vector<std::int64_t> scratch;
  auto local_view = convert::view_1d<std::int64_t>(local, scratch);
  nb::gil_scoped_release release;
  return cal::calculate_accessors(utc, local_view);
}

nb::object accessors_frame(const cal::Accessors& t, nb::handle index) {
  nb::object idx = index.is_valid() ? nb::borrow(index)
                                    : convert::utc_index(std::vector<std::int64_t>(t.utc));
  nb::dict columns;
  auto put = [&](const char* name, const std::vector<std::int64_t>& col) {
    columns[name] = convert::to_numpy(std::vector<std::int64_t>(col));
  };
  put("iso_year", t.iso_year);
  put("week", t.week);
  put("day_of_week", t.day_of_week);
  put("year", t.year);
  put("month", t.month);
  put("day", t.day);
  put("hour", t.hour);
  put("minute", t.minute);
  put("utc_offset", t.utc_offset);
  columns["utc"] = idx;
  // Host dates, so that holiday dates compare equal to the column's values.
  columns["date"] = convert::to_numpy(std::vector<std::int64_t>(t.date))
                        .attr("view")("datetime64[D]")
                        .attr("astype")(nb::module_::import_("builtins").attr("object"));
  return pandas().attr("DataFrame")(columns, nb::arg("index") = idx, nb::arg("copy") = false);
}

cal::Accessors accessors_from_frame(nb::handle frame) {
  cal::Accessors t;
  t.utc = convert::instants_ns(frame.attr("index"));
  t.iso_year = int_column(frame, "iso_year");
  t.week = int_column(frame, "week");
  t.day_of_week = int_column(frame, "day_of_week");
  t.year = int_column(frame, "year");
  t.month = int_column(frame, "month");
  t.day = int_column(frame, "day");
  t.hour = int_column(frame, "hour");
  t.minute = int_column(frame, "minute");
  t.utc_offset = int_column(frame, "utc_offset");
  nb::object dates = numpy()
                         .attr("asarray")(frame["date"].attr("to_numpy")(),
                                          nb::arg("dtype") = "datetime64[D]")
                         .attr("view")("int64");
  std::vector<std::int64_t> scratch;
  auto view = convert::view_1d<std::int64_t>(dates, scratch);
  t.date.assign(view.begin(), view.end());
  for (const auto* col : {&t.iso_year, &t.week, &t.day_of_week, &t.year, &t.month, &t.day,
                          &t.hour, &t.minute, &t.utc_offset, &t.date})
    if (col->size() != t.utc.size()) core::value_error("accessor columns differ in length");
  return t;
}

nb::object mask_array(cal::Mask&& mask) {
  return convert::to_numpy(std::move(mask)).attr("view")("bool");
}

}  // namespace ostrel::bindings::engine
