// The dtype-fixed array kernels: module-internal, positional only. Canonical inputs (contiguous
// arrays of the fixed dtypes, numbers) run in the core; anything else goes through the same
// numpy formulation, so odd shapes behave, and fail, as the array library makes them.
#include "core/kernels/kernels.hpp"

#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/host.hpp"

namespace ostrel::bindings::engine {

namespace {

namespace k = core::kernels;
using arrays::DType;

nb::object cast_to(nb::object x, DType t) {
  return x.attr("astype")(arrays::dtype(t), nb::arg("copy") = false);
}

// A 2-D C-contiguous matrix of T, or nothing.
template <typename T>
bool try_matrix(nb::handle obj, std::span<const T>& data, size_t& rows, size_t& cols) {
  using Elem = std::conditional_t<std::is_same_v<T, uint8_t>, bool, T>;
  nb::ndarray<const Elem, nb::ndim<2>, nb::c_contig, nb::device::cpu> a;
  if (!nb::try_cast(obj, a, false)) return false;
  rows = a.shape(0);
  cols = a.shape(1);
  data = std::span<const T>(reinterpret_cast<const T*>(a.data()), rows * cols);
  return true;
}

// Runs `kernel` on a 2-D matrix of double, int64 or bool; other 2-D dtypes are read as float64;
// any other shape goes to numpy's `fallback` reduction over axis 1.
template <typename Kernel>
nb::object row_kernel(nb::handle m, const char* fallback, DType result, Kernel kernel) {
  size_t rows = 0, cols = 0;
  std::span<const double> d;
  std::span<const int64_t> i;
  std::span<const uint8_t> b;
  if (try_matrix(m, d, rows, cols)) return kernel(d, rows, cols);
  if (try_matrix(m, i, rows, cols)) return kernel(i, rows, cols);
  if (try_matrix(m, b, rows, cols)) return kernel(b, rows, cols);
  nb::object arr = arrays::numpy().attr("asarray")(m);
  if (nb::cast<long>(arr.attr("ndim")) == 2 &&
      nb::cast<long>(arr.attr("dtype").attr("itemsize")) > 0) {
    nb::object f = arrays::numpy().attr("ascontiguousarray")(arr, nb::arg("dtype") = "float64");
    if (try_matrix(f, d, rows, cols)) return kernel(d, rows, cols);
  }
  return cast_to(arrays::numpy().attr(fallback)(arr, nb::arg("axis") = 1), result);
}

// A 1-D float64 array or a number, for the element-wise kernels.
bool try_operand(nb::handle x, k::PerStep& out, size_t& n, bool& is_array, nb::object& keep) {
  if (PyFloat_Check(x.ptr()) || PyLong_Check(x.ptr())) {
    out = k::PerStep::of(nb::cast<double>(nb::float_(x)));
    return true;
  }
  auto s = arrays::try_span<double>(x, keep);
  if (!s) return false;
  if (is_array && s->size() != n) return false;
  out = k::PerStep::of(*s);
  n = s->size();
  is_array = true;
  return true;
}

template <typename Kernel>
nb::object pairwise(nb::handle a, nb::handle b, const char* fallback, Kernel kernel) {
  k::PerStep pa, pb;
  size_t n = 0;
  bool is_array = false;
  nb::object ka, kb;
  if (try_operand(a, pa, n, is_array, ka) && try_operand(b, pb, n, is_array, kb) && is_array)
    return arrays::array(kernel(pa, pb, n));
  return cast_to(arrays::numpy().attr(fallback)(a, b), DType::Float64);
}

nb::object where(nb::handle cond, nb::handle a, nb::handle b) {
  nb::object kc, ka, kb;
  if (auto c = arrays::try_span<uint8_t>(cond, kc)) {
    k::PerStep pa, pb;
    size_t n = c->size();
    bool is_array = true;
    if (try_operand(a, pa, n, is_array, ka) && try_operand(b, pb, n, is_array, kb))
      return arrays::array(k::where(*c, pa, pb));
  }
  return cast_to(arrays::numpy().attr("where")(cond, a, b), DType::Float64);
}

nb::object where_indices(nb::handle mask) {
  nb::object keep;
  if (auto m = arrays::try_span<uint8_t>(mask, keep)) return arrays::array(k::where_indices(*m));
  return cast_to(arrays::numpy().attr("flatnonzero")(mask), DType::Int64);
}

nb::object group_count(nb::handle ids) {
  nb::object keep;
  if (auto s = arrays::try_span<int64_t>(ids, keep)) return arrays::array(k::group_count(*s));
  return cast_to(arrays::numpy().attr("bincount")(ids), DType::Int64);
}

// Values and ids as the group kernels read them: ids of an integer dtype, values as float64
// (one value is spread over every id, as numpy would broadcast it).
template <typename Kernel>
nb::object group_kernel(nb::handle values, nb::handle ids, Kernel kernel) {
  nb::object ki, kv;
  nb::object id_arr = arrays::numpy().attr("asarray")(ids);
  const std::string kind = nb::cast<std::string>(id_arr.attr("dtype").attr("kind"));
  if (kind != "i" && kind != "u") k::non_integer_index();
  std::span<const int64_t> s = arrays::span_as<int64_t>(id_arr, ki);
  nb::object v = arrays::numpy().attr("asarray")(values, nb::arg("dtype") = "float64");
  if (nb::cast<long>(v.attr("ndim")) == 0) v = arrays::numpy().attr("full")(s.size(), v);
  return arrays::array(kernel(arrays::span_as<double>(v, kv), s));
}

}  // namespace

void init_kernels(nb::module_& m) {
  // The array aliases of the engine's signatures.
  nb::object np = arrays::numpy();
  nb::handle nd_array = host::ndarray_alias();
  m.attr("BoolArray") = nd_array[np.attr("bool_")];
  m.attr("Float64Array") = nd_array[np.attr("float64")];
  m.attr("Int64Array") = nd_array[np.attr("int64")];
  m.attr("Int32Array") = nd_array[np.attr("int32")];

  m.def("ensure_1d", [](nb::handle a) { arrays::ensure_1d(a); });
  m.def("ensure_bool", [](nb::handle a) {
    arrays::ensure(a, DType::Bool);
    return nb::borrow(a);
  });
  m.def("ensure_float64", [](nb::handle a) {
    arrays::ensure(a, DType::Float64);
    return nb::borrow(a);
  });
  m.def("ensure_int64", [](nb::handle a) {
    arrays::ensure(a, DType::Int64);
    return nb::borrow(a);
  });
  m.def("to_bool", [](nb::handle x) { return arrays::to_dtype(x, DType::Bool); });
  m.def("to_float64", [](nb::handle x) { return arrays::to_dtype(x, DType::Float64); });
  m.def("to_int32", [](nb::handle x) { return arrays::to_dtype(x, DType::Int32); });
  m.def("to_int64", [](nb::handle x) { return arrays::to_dtype(x, DType::Int64); });

  m.def("row_any", [](nb::handle x) {
    return row_kernel(x, "any", DType::Bool, [](auto s, size_t r, size_t c) {
      return arrays::bool_array(k::row_any(s, r, c));
    });
  });
  m.def("row_argmax", [](nb::handle x) {
    return row_kernel(x, "argmax", DType::Int64, [](auto s, size_t r, size_t c) {
      return arrays::array(k::row_argmax(s, r, c));
    });
  });
  m.def("row_max", [](nb::handle x) {
    return row_kernel(x, "max", DType::Float64, [](auto s, size_t r, size_t c) {
      return arrays::array(k::row_max(s, r, c));
    });
  });
  m.def("row_min", [](nb::handle x) {
    return row_kernel(x, "min", DType::Float64, [](auto s, size_t r, size_t c) {
      return arrays::array(k::row_min(s, r, c));
    });
  });
  m.def("row_sum", [](nb::handle x) {
    return row_kernel(x, "sum", DType::Int64, [](auto s, size_t r, size_t c) {
      return arrays::array(k::row_sum(s, r, c));
    });
  });

  m.def("pairwise_max",
        [](nb::handle a, nb::handle b) { return pairwise(a, b, "maximum", k::pairwise_max); });
  m.def("pairwise_min",
        [](nb::handle a, nb::handle b) { return pairwise(a, b, "minimum", k::pairwise_min); });
  m.def("where", &where);
  m.def("where_indices", &where_indices);
  m.def("group_count", &group_count);
  m.def("group_max",
        [](nb::handle v, nb::handle ids) { return group_kernel(v, ids, k::group_max); });
  m.def("group_min",
        [](nb::handle v, nb::handle ids) { return group_kernel(v, ids, k::group_min); });

  m.def("get_bounds", [](nb::handle x, nb::handle index) { return optim::get_bounds(x, index); });
  m.def("output_is_sum_per_group", &optim::output_is_sum_per_group_args,
        nb::sig("def output_is_sum_per_group(output: VariableSeries, input: VariableSeries, "
                "groups: numpy.typing.NDArray[numpy.int64], weight: float = 1.0, "
                "rhs: float = 0.0, /) -> EqualitySeries"),
        "One row per group: output[g] - weight * (sum of the input over group g) = rhs.");
}

}  // namespace ostrel::bindings::engine
