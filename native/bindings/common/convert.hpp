#pragma once
// Every conversion at the boundary: series, index, instant and array readers, the engine's fixed
// dtypes, owning numpy results and pandas wrapping. Inputs are read as const spans (read-only
// and copy-on-write buffers welcome); results leave as numpy arrays that own their C++ buffer
// through a capsule, with no copy.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "bindings/common/host.hpp"
#include "core/blocks/numeric.hpp"
#include "core/kernels/kernels.hpp"
#include "core/timeline/column.hpp"
#include "core/timeline/grouping.hpp"

namespace ostrel::bindings::convert {
namespace nb = nanobind;

using DType = host::DType;

nb::module_ numpy();

// Kinds of host values.
bool is_ndarray(nb::handle obj);
bool is_series(nb::handle obj);  // a pandas Series (or subclass)
// A plain host int or float (bool and subclasses included), not a numpy scalar.
bool is_python_number(nb::handle obj);
// A host int or float, or a numpy numeric scalar.
bool is_numeric_scalar(nb::handle obj);
// The host truth of a value (its __bool__ may raise); `absent` for an argument not given.
bool truth(nb::handle value, bool absent = false);

// A numpy array taking ownership of `values` (no copy): 1-D, or of `shape` (row-major, whose
// product is the size). A vector of the engine's recycled storage gives its block back when
// the array is freed.
template <typename T, typename A>
nb::object to_numpy(std::vector<T, A>&& values, std::initializer_list<size_t> shape = {}) {
  using Vector = std::vector<T, A>;
  auto* owned = new Vector(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<Vector*>(p); });
  const size_t size = owned->size();
  const bool flat = shape.size() == 0;
  return nb::cast(nb::ndarray<nb::numpy, T>(owned->data(), flat ? 1 : shape.size(),
                                            flat ? &size : shape.begin(), owner));
}

// Mark a numpy array read-only (records expose their arrays as immutable views).
nb::object read_only(nb::object array);

// A contiguous view of a 1-D array of exactly dtype T. A strided array is copied into
// `scratch` first. Raises TypeError when the object is not such an array.
template <typename T>
std::span<const T> view_1d(nb::handle array, std::vector<T>& scratch) {
  nb::ndarray<const T, nb::ndim<1>, nb::device::cpu> a;
  if (!nb::try_cast(array, a, /*convert=*/false)) throw nb::type_error("expected a 1-D array");
  const T* data = a.data();
  const size_t n = a.shape(0);
  const int64_t stride = a.stride(0);
  if (stride == 1 || n <= 1) return {data, n};
  scratch.resize(n);
  for (size_t i = 0; i < n; ++i) scratch[i] = data[static_cast<int64_t>(i) * stride];
  return {scratch.data(), n};
}

// UTC nanoseconds of the instants of a time-zone-aware index (any datetime unit). A naive
// index raises TypeError.
std::vector<int64_t> instants_ns(nb::handle index);

// float64 values of a pandas Series or numpy array (cast without copy where already float64).
std::vector<double> values_f64(nb::handle series_or_array);

// A UTC DatetimeIndex (nanosecond unit) over the given instants.
nb::object utc_index(std::vector<int64_t>&& ns);
nb::object utc_index(core::blocks::Labels&& ns);

// A float64 pandas Series on `index` owning `values`.
nb::object series(std::vector<double>&& values, nb::handle index, nb::handle name = nb::none());
nb::object series(core::blocks::Values&& values, nb::handle index, nb::handle name = nb::none());
// `series.name = name`, without the frame's attribute dispatch for a plain Series and a str name.
void rename_series(nb::handle series, nb::handle name);

// A host series read for the core: UTC nanosecond labels and float64 values, viewed in place
// when the index already holds nanoseconds and the values are float64 (the pipeline's own
// series always do), converted otherwise.
struct SeriesArg {
  nb::object series, index, array, label_array;
  std::span<const int64_t> labels;
  std::span<const double> values;
  std::vector<int64_t> label_storage;
  std::vector<double> scratch;
  core::blocks::LabelledView view() const { return {labels, values}; }
};
// `value` must be a pandas Series.
SeriesArg read_series(nb::handle value);

// The fixed dtypes of the kernels and the optimisation records.
using host::dtype;                // numpy.dtype of each
const char* dtype_name(DType t);  // "bool_", "int32", "int64", "float64"
bool has_dtype(nb::handle array, DType t);

// "array must be float64, got float32" unless `array` is exactly of dtype `t`; then "array must
// be 1-D, got 2-D" unless it is one-dimensional.
void ensure(nb::handle array, DType t);
void ensure_1d(nb::handle array);

// The converter family: a series' values or an array cast without copy (the same object when
// it already has the dtype), anything else built into a new array.
nb::object to_dtype(nb::handle x, DType t);

// A contiguous view of a 1-D array of exactly T, or nothing (wrong dtype, shape or kind).
// A strided array of the right dtype is made contiguous into `keep`.
template <typename T>
std::optional<std::span<const T>> try_span(nb::handle obj, nb::object& keep) {
  using Elem = std::conditional_t<std::is_same_v<T, uint8_t>, bool, T>;
  nb::ndarray<const Elem, nb::ndim<1>, nb::device::cpu> a;
  if (!nb::try_cast(obj, a, /*convert=*/false)) return std::nullopt;
  if (a.stride(0) != 1 && a.shape(0) > 1) {
    keep = nb::borrow(host::ascontiguousarray())(obj);
    if (!nb::try_cast(keep, a, false)) return std::nullopt;
  }
  return std::span<const T>(reinterpret_cast<const T*>(a.data()), a.shape(0));
}

// As try_span, converting first (np.ascontiguousarray with the dtype) when needed.
template <typename T>
std::span<const T> span_as(nb::handle obj, nb::object& keep);

// Fresh numpy arrays owning their buffers.
// Integer arrays come back with the platform's canonical int64 dtype (the buffer protocol
// would give "long long", which prints and compares as a different type).
nb::object canonical(nb::object array, DType t);
template <typename T, typename A>
nb::object array(std::vector<T, A>&& values) {
  nb::object a = to_numpy(std::move(values));
  if constexpr (std::is_same_v<T, int64_t>) a = canonical(a, DType::Int64);
  return a;
}
nb::object bool_array(std::vector<uint8_t>&& values);
// Read-only 1-D views into a buffer kept alive by `owner`.
template <typename T>
nb::object read_only_view(const T* data, size_t n, nb::handle owner);

// A per-step operand, broadcast to n entries by the engine's rule: a number is repeated; a
// pandas series must have length n (assertion "broadcast: expected length n, got m"); any other
// value is read as a float64 array of length n (or one value).
core::kernels::PerStep per_step(nb::handle value, size_t n, std::vector<nb::object>& keep);

// ---- Instants, values and masks of the timeline ----

// UTC nanoseconds of an instant index and float64 values of a series, viewed in place where
// the host's buffers allow (copied otherwise); `owner` keeps the viewed buffer alive.
// With `to_ns` false, an index of a coarser unit is left in its own unit (`raw`, `unit_ns`)
// and `ns` stays empty, for callers that can work in that unit and spare the scaled copy.
struct InstantsView {
  nb::object owner;
  std::vector<std::int64_t> scratch;
  core::timeline::Column<std::int64_t> scaled;  // instants of a coarser unit, in nanoseconds
  std::span<const std::int64_t> ns;
  std::span<const std::int64_t> raw;  // the instants in their own unit
  std::int64_t unit_ns = 1;
};
// TypeError when the index is naive.
InstantsView instants_view(nb::handle index, bool to_ns = true);
struct ValuesView {
  nb::object owner;
  std::vector<double> scratch;
  std::span<const double> values;
};
ValuesView values_view(nb::handle series);

// A UTC nanosecond DatetimeIndex viewing `n` instants at `data`, kept alive by `owner`.
nb::object utc_index_view(const std::int64_t* data, size_t n, nb::handle owner);

// A numpy bool array owning a core mask.
nb::object mask_array(core::timeline::Mask&& mask);

}  // namespace ostrel::bindings::convert
