#pragma once
// Array and pandas conversion at the boundary. Inputs are read as const spans (read-only and
// copy-on-write buffers welcome); results leave as numpy arrays that own their C++ buffer
// through a capsule, with no copy.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::bindings::convert {
namespace nb = nanobind;

// A 1-D numpy array taking ownership of `values` (no copy).
template <typename T>
nb::object to_numpy(std::vector<T>&& values) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  const size_t shape[1] = {owned->size()};
  return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), 1, shape, owner));
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

// A float64 pandas Series on `index` owning `values`.
nb::object series(std::vector<double>&& values, nb::handle index, nb::handle name = nb::none());

}  // namespace ostrel::bindings::convert
