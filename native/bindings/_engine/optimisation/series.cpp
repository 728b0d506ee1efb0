// VariableSeries and the constraint records: immutable value records over core structs whose
// arrays Python sees as read-only views.
#include <nanobind/nanobind.h>

#include <type_traits>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

using arrays::DType;

// A record's array, checked to be of its fixed dtype (int64, float64 or bool), then copied.
template <typename T>
std::vector<T> copy_of(nb::handle array) {
  arrays::ensure(array, std::is_same_v<T, int64_t>  ? DType::Int64
                        : std::is_same_v<T, double> ? DType::Float64
                                                    : DType::Bool);
  nb::object keep;
  auto s = arrays::span_as<T>(array, keep);
  return std::vector<T>(s.begin(), s.end());
}

// A read-only view of one field; the capsule keeps the shared core struct alive, so the view
// outlives the record without a reference cycle.
template <typename Struct, typename T>
nb::object view(const std::shared_ptr<const Struct>& data, const std::vector<T>& field,
                nb::object& cached) {
  if (!cached.is_valid()) {
    auto* owner = new std::shared_ptr<const Struct>(data);
    nb::capsule cap(
        owner, [](void* p) noexcept { delete static_cast<std::shared_ptr<const Struct>*>(p); });
    cached = arrays::read_only_view<T>(field.data(), field.size(), cap);
  }
  return cached;
}

nb::handle g_variable_type, g_constraint_types[3];

VariableSeriesRecord& var_of(nb::handle self) { return nb::cast<VariableSeriesRecord&>(self); }
ConstraintRecord& con_of(nb::handle self) { return nb::cast<ConstraintRecord&>(self); }

void construct_variables(VariableSeriesRecord* self, nb::handle cols, nb::handle lb, nb::handle ub,
                         nb::handle is_integer, nb::handle index) {
  co::VariableSeries v{copy_of<int64_t>(cols), copy_of<double>(lb), copy_of<double>(ub),
                       copy_of<uint8_t>(is_integer)};
  co::validate(v, nb::len(index));
  new (self) VariableSeriesRecord{
      std::make_shared<const co::VariableSeries>(std::move(v)), nb::borrow(index), {}};
}

co::ConstraintSeries read_constraints(nb::handle cols, nb::handle rows, nb::handle coefs,
                                      nb::handle rhs) {
  co::ConstraintSeries c{copy_of<int64_t>(cols), copy_of<int64_t>(rows), copy_of<double>(coefs),
                         copy_of<double>(rhs)};
  co::validate(c);
  return c;
}

template <typename Record>
void construct_constraints(Record* self, nb::handle cols, nb::handle rows, nb::handle coefs,
                           nb::handle rhs) {
  auto c = read_constraints(cols, rows, coefs, rhs);
  new (self) Record();
  self->data = std::make_shared<const co::ConstraintSeries>(std::move(c));
}

// Bounds for `continuous`: a number repeated, or n values (as float64).
std::vector<double> bounds_of(nb::handle bound, size_t n) {
  if (arrays::is_python_number(bound))
    return std::vector<double>(n, nb::cast<double>(nb::float_(bound)));
  nb::object keep;
  nb::object arr = arrays::to_dtype(bound, DType::Float64);
  auto s = arrays::span_as<double>(arr, keep);
  if (s.size() != n) core::value_error("arrays must have equal length");
  return std::vector<double>(s.begin(), s.end());
}

nb::object variables_gather(nb::handle self, nb::handle indices, nb::handle index) {
  const VariableSeriesRecord& v = var_of(self);
  std::vector<int64_t> pos = positions(indices, v.data->size());
  co::VariableSeries out = co::gather(*v.data, pos);
  nb::object idx = index.is_none() ? v.index[arrays::array(std::move(pos))] : nb::borrow(index);
  return make_variables(std::move(out), idx);
}

nb::object concatenate(nb::handle cls, nb::handle blocks) {
  std::vector<const co::ConstraintSeries*> parts;
  std::vector<nb::object> held;
  for (nb::handle b : blocks) {
    if (b.is_none()) continue;
    const ConstraintRecord* r = as_constraints(b);
    if (!r) co::takes_constraint_series("concatenate", bindings::type_name(b));
    held.push_back(nb::borrow(b));
    parts.push_back(r->data.get());
  }
  if (parts.empty()) return nb::none();
  return make_constraints_of(cls, co::concatenate(parts));
}

template <typename Record>
void bind_constraint_class(nb::class_<Record, ConstraintRecord>& c) {
  c.def("__init__", &construct_constraints<Record>, nb::arg("cols"), nb::arg("rows"),
        nb::arg("coefs"), nb::arg("rhs"));
}

}  // namespace

nb::object make_variables(co::VariableSeries&& v, nb::object index) {
  co::validate(v, nb::len(index));
  VariableSeriesRecord r{std::make_shared<const co::VariableSeries>(std::move(v)), index, {}};
  return nb::cast(std::move(r), nb::rv_policy::move);
}

nb::object with_index(const VariableSeriesRecord& v, nb::object index) {
  co::validate(*v.data, nb::len(index));
  return nb::cast(VariableSeriesRecord{v.data, index, {}}, nb::rv_policy::move);
}

const VariableSeriesRecord* as_variables(nb::handle obj) {
  if (!nb::isinstance<VariableSeriesRecord>(obj)) return nullptr;
  return &nb::cast<const VariableSeriesRecord&>(obj);
}

nb::handle constraint_type(Kind kind) { return g_constraint_types[static_cast<int>(kind)]; }

nb::object make_constraints(Kind kind, co::ConstraintSeries&& c) {
  auto data = std::make_shared<const co::ConstraintSeries>(std::move(c));
  switch (kind) {
    case Kind::Equality: {
      EqualityRecord r;
      r.data = std::move(data);
      return nb::cast(std::move(r), nb::rv_policy::move);
    }
    case Kind::Inequality: {
      InequalityRecord r;
      r.data = std::move(data);
      return nb::cast(std::move(r), nb::rv_policy::move);
    }
    default: {
      ConstraintRecord r;
      r.data = std::move(data);
      return nb::cast(std::move(r), nb::rv_policy::move);
    }
  }
}

nb::object make_constraints_of(nb::handle cls, co::ConstraintSeries&& c) {
  for (int k = 0; k < 3; ++k)
    if (cls.is(g_constraint_types[k])) {
      co::validate(c);
      return make_constraints(static_cast<Kind>(k), std::move(c));
    }
  // A subclass defined in Python: through its own constructor.
  return cls(arrays::array(std::move(c.cols)), arrays::array(std::move(c.rows)),
             arrays::array(std::move(c.coefs)), arrays::array(std::move(c.rhs)));
}

const ConstraintRecord* as_constraints(nb::handle obj) {
  if (!nb::isinstance<ConstraintRecord>(obj)) return nullptr;
  return &nb::cast<const ConstraintRecord&>(obj);
}

void init_series(nb::module_& m) {
  auto vs =
      nb::class_<VariableSeriesRecord>(m, "VariableSeries", "One solver variable per time step.");
  vs.def("__init__", &construct_variables, nb::arg("cols"), nb::arg("lb"), nb::arg("ub"),
         nb::arg("is_integer"), nb::arg("index"));
  vs.def_prop_ro(
      "cols", [](const VariableSeriesRecord& v) { return view(v.data, v.data->cols, v.views[0]); });
  vs.def_prop_ro(
      "lb", [](const VariableSeriesRecord& v) { return view(v.data, v.data->lb, v.views[1]); });
  vs.def_prop_ro(
      "ub", [](const VariableSeriesRecord& v) { return view(v.data, v.data->ub, v.views[2]); });
  vs.def_prop_ro("is_integer", [](const VariableSeriesRecord& v) {
    return view(v.data, v.data->is_integer, v.views[3]);
  });
  vs.def_prop_ro("index", [](const VariableSeriesRecord& v) { return v.index; });
  vs.def("gather", &variables_gather, nb::arg("indices"), nb::arg("index").none() = nb::none());
  vs.def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
    if (!self.type().is(other.type())) return nb::borrow(Py_NotImplemented);
    const auto &a = var_of(self), &b = var_of(other);
    return nb::bool_(co::equal(*a.data, *b.data) && value_equal(a.index, b.index));
  });
  vs.def("__hash__", [](nb::handle self) {
    const auto& v = var_of(self);
    return static_cast<Py_ssize_t>(co::hash(*v.data) ^ value_hash(v.index));
  });
  vs.def("__repr__", [](nb::handle self) {
    return record_repr(self, {{"cols", self.attr("cols")},
                              {"lb", self.attr("lb")},
                              {"ub", self.attr("ub")},
                              {"is_integer", self.attr("is_integer")},
                              {"index", self.attr("index")}});
  });
  vs.attr("continuous") = classmethod(nb::cpp_function(
      [](nb::handle, int64_t start_col, nb::handle lb, nb::handle ub, nb::handle index) {
        const size_t n = nb::len(index);
        return make_variables(co::continuous(start_col, bounds_of(lb, n), bounds_of(ub, n)),
                              nb::borrow(index));
      },
      nb::arg("cls"), nb::arg("start_col"), nb::arg("lb"), nb::arg("ub"), nb::arg("index")));
  vs.attr("binary") = classmethod(nb::cpp_function(
      [](nb::handle, int64_t start_col, nb::handle index) {
        return make_variables(co::binary(start_col, nb::len(index)), nb::borrow(index));
      },
      nb::arg("cls"), nb::arg("start_col"), nb::arg("index")));
  g_variable_type = vs;

  auto cs = nb::class_<ConstraintRecord>(m, "ConstraintSeries",
                                         "Linear rows in coordinate form; rows are local.");
  cs.def("__init__", &construct_constraints<ConstraintRecord>, nb::arg("cols"), nb::arg("rows"),
         nb::arg("coefs"), nb::arg("rhs"));
  cs.def_prop_ro("cols",
                 [](const ConstraintRecord& c) { return view(c.data, c.data->cols, c.views[0]); });
  cs.def_prop_ro("rows",
                 [](const ConstraintRecord& c) { return view(c.data, c.data->rows, c.views[1]); });
  cs.def_prop_ro("coefs",
                 [](const ConstraintRecord& c) { return view(c.data, c.data->coefs, c.views[2]); });
  cs.def_prop_ro("rhs",
                 [](const ConstraintRecord& c) { return view(c.data, c.data->rhs, c.views[3]); });
  cs.def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
    if (!self.type().is(other.type())) return nb::borrow(Py_NotImplemented);
    return nb::bool_(co::equal(*con_of(self).data, *con_of(other).data));
  });
  cs.def("__hash__",
         [](nb::handle self) { return static_cast<Py_ssize_t>(co::hash(*con_of(self).data)); });
  cs.def("__repr__", [](nb::handle self) {
    return record_repr(self, {{"cols", self.attr("cols")},
                              {"rows", self.attr("rows")},
                              {"coefs", self.attr("coefs")},
                              {"rhs", self.attr("rhs")}});
  });
  cs.attr("concatenate") =
      classmethod(nb::cpp_function(&concatenate, nb::arg("cls"), nb::arg("blocks")));

  auto es = nb::class_<EqualityRecord, ConstraintRecord>(m, "EqualitySeries",
                                                         "Rows sum(coefs x cols) = rhs.");
  bind_constraint_class(es);
  auto is = nb::class_<InequalityRecord, ConstraintRecord>(m, "InequalitySeries",
                                                           "Rows sum(coefs x cols) <= rhs.");
  bind_constraint_class(is);
  g_constraint_types[0] = cs;
  g_constraint_types[1] = es;
  g_constraint_types[2] = is;
}

}  // namespace ostrel::bindings::engine::optim
