#pragma once
// numpy at the boundary of the kernels and the optimisation records: the fixed dtypes, casts
// without copy, and contiguous typed views that the core reads.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "core/kernels/kernels.hpp"

namespace ostrel::bindings::engine::arrays {
namespace nb = nanobind;

enum class DType { Bool, Int32, Int64, Float64 };

nb::module_ numpy();
bool is_ndarray(nb::handle obj);
bool is_pandas_series(nb::handle obj);
// Python int or float (bool and subclasses included).
bool is_number(nb::handle obj);

nb::handle dtype(DType t);
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
    keep = numpy().attr("ascontiguousarray")(obj);
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
template <typename T>
nb::object array(std::vector<T>&& values) {
  nb::object a = convert::to_numpy(std::move(values));
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

}  // namespace ostrel::bindings::engine::arrays
