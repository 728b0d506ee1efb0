// The pandas door's bill table: sums per month and component of a cost frame's columns, read
// in place.
#include "core/logic/bill.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/logic/logic.hpp"
#include "core/common/arguments.hpp"

namespace ostrel::bindings::logic {

namespace {

// Calls `f` with a view of `codes` in its own integer width (a categorical column's codes are
// as narrow as its categories allow).
template <typename F>
nb::object with_codes(nb::handle codes, F&& f) {
  nb::ndarray<const std::int8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> c8;
  if (nb::try_cast(codes, c8, false)) return f(std::span(c8.data(), c8.shape(0)));
  nb::ndarray<const std::int16_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> c16;
  if (nb::try_cast(codes, c16, false)) return f(std::span(c16.data(), c16.shape(0)));
  nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> c32;
  if (nb::try_cast(codes, c32, false)) return f(std::span(c32.data(), c32.shape(0)));
  std::vector<std::int64_t> scratch;
  return f(convert::view_1d<std::int64_t>(codes, scratch));
}

nb::object period_sums(nb::handle instants, nb::handle edges, nb::handle codes, std::int64_t groups,
                       nb::handle amounts) {
  std::vector<std::int64_t> instants_scratch, edges_scratch;
  std::vector<double> amounts_scratch;
  const auto t = convert::view_1d<std::int64_t>(instants, instants_scratch);
  const auto e = convert::view_1d<std::int64_t>(edges, edges_scratch);
  const auto a = convert::view_1d<double>(amounts, amounts_scratch);
  const std::size_t n = core::logic::group_count(groups);
  return with_codes(codes, [&](auto c) -> nb::object {
    core::logic::PeriodSums s = core::logic::sum_by_period(t, e, c, n, a);
    return nb::make_tuple(convert::to_numpy(std::move(s.sums)),
                          convert::to_numpy(std::move(s.present)),
                          convert::to_numpy(std::move(s.first_row)));
  });
}

nb::object first_rows(nb::handle codes, std::int64_t groups) {
  const std::size_t n = core::logic::group_count(groups);
  return with_codes(codes, [&](auto c) -> nb::object {
    return convert::to_numpy(core::logic::first_rows(c, n));
  });
}

nb::object stack_present(nb::handle series_list) {
  std::vector<convert::SeriesArg> read;
  read.reserve(nb::len(series_list));
  for (nb::handle s : series_list) {
    if (!convert::is_series(s))
      core::must_be("each series", "a pandas Series", Py_TYPE(s.ptr())->tp_name);
    read.push_back(convert::read_series(s));
  }
  std::vector<std::span<const std::int64_t>> instants;
  std::vector<std::span<const double>> values;
  for (const convert::SeriesArg& s : read) {
    instants.push_back(s.labels);
    values.push_back(s.values);
  }
  core::logic::Stacked out = core::logic::stack_present(instants, values);
  return nb::make_tuple(convert::to_numpy(std::move(out.instants)),
                        convert::to_numpy(std::move(out.values)),
                        convert::to_numpy(std::move(out.sizes)));
}

}  // namespace

void init_bill(nb::module_& m) {
  m.def("_stack_present", &stack_present, nb::arg("series"),
        "(instants, values, sizes): the UTC nanoseconds and float64 values of the series one "
        "after another, missing values left out, and how many each series kept.");
  m.def("_period_sums", &period_sums, nb::arg("instants"), nb::arg("edges"), nb::arg("codes"),
        nb::arg("groups"), nb::arg("amounts"),
        "(sums, present, first_row): `amounts` summed per period (the last of the ascending "
        "`edges` at or before each instant) and group code, as a flat periods x groups array; "
        "whether each period has rows; each group's first row (-1 for none).");
  m.def("_first_rows", &first_rows, nb::arg("codes"), nb::arg("groups"),
        "The first row of each group code in [0, groups), -1 for a group without rows.");
}

}  // namespace ostrel::bindings::logic
