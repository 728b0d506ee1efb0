// The small value records of relations and grouping: ConstraintTerm, GroupTerm, GroupedValues
// and Groups. Their fields hold host values (numbers, arrays, series, variable series).
#include <nanobind/nanobind.h>

#include <array>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "core/kernels/kernels.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

template <size_t N>
struct Fields {
  std::array<nb::object, N> values;
};

struct ConstraintTermRecord : Fields<2> {};
struct GroupTermRecord : Fields<3> {};
struct GroupedValuesRecord : Fields<2> {};
struct GroupsRecord : Fields<3> {};

// Construction by position or name, read-only fields, field-wise equality, hashing and text.
template <typename Record, size_t N>
nb::class_<Record> bind_record(nb::module_& m, const char* name, const char* doc,
                               const std::array<const char*, N>& names) {
  nb::class_<Record> c(m, name, doc);
  for (size_t i = 0; i < N; ++i)
    c.def_prop_ro(names[i], [i](const Record& r) { return r.values[i]; });
  c.def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
    if (!self.type().is(other.type())) return nb::borrow(Py_NotImplemented);
    const Record &a = nb::cast<const Record&>(self), &b = nb::cast<const Record&>(other);
    for (size_t i = 0; i < N; ++i)
      if (!value_equal(a.values[i], b.values[i])) return nb::bool_(false);
    return nb::bool_(true);
  });
  c.def("__hash__", [](const Record& r) {
    size_t h = N;
    for (size_t i = 0; i < N; ++i) h = h * 1000003u ^ value_hash(r.values[i]);
    return static_cast<Py_ssize_t>(h);
  });
  c.def("__repr__", [names](nb::handle self) {
    const Record& r = nb::cast<const Record&>(self);
    if constexpr (N == 2)
      return record_repr(self, {{names[0], r.values[0]}, {names[1], r.values[1]}});
    else
      return record_repr(
          self, {{names[0], r.values[0]}, {names[1], r.values[1]}, {names[2], r.values[2]}});
  });
  return c;
}

template <typename Record>
void init2(Record* self, nb::handle a, nb::handle b) {
  new (self) Record{{{nb::borrow(a), nb::borrow(b)}}};
}
template <typename Record>
void init3(Record* self, nb::handle a, nb::handle b, nb::handle c) {
  new (self) Record{{{nb::borrow(a), nb::borrow(b), nb::borrow(c)}}};
}

// values (float64) and allocation (int64) as the group kernels read them.
struct GroupInput {
  nb::object kv, ka;
  std::span<const double> values;
  std::span<const int64_t> allocation;
};

GroupInput group_input(const GroupedValuesRecord& g) {
  GroupInput in;
  nb::object v = arrays::to_dtype(g.values[0], arrays::DType::Float64);
  nb::object a = arrays::to_dtype(g.values[1], arrays::DType::Int64);
  in.values = arrays::span_as<double>(v, in.kv);
  in.allocation = arrays::span_as<int64_t>(a, in.ka);
  if (!in.kv.is_valid()) in.kv = v;
  if (!in.ka.is_valid()) in.ka = a;
  return in;
}

nb::object grouped_mean(const GroupedValuesRecord& g) {
  GroupInput in = group_input(g);
  return arrays::array(core::kernels::group_mean(in.values, in.allocation));
}

}  // namespace

void init_terms(nb::module_& m) {
  auto ct = bind_record<ConstraintTermRecord, 2>(
      m, "ConstraintTerm", "One addend of a relation: coef x factor.", {"coef", "factor"});
  ct.def("__init__", &init2<ConstraintTermRecord>, nb::arg("coef"), nb::arg("factor"));

  auto gt = bind_record<GroupTermRecord, 3>(
      m, "GroupTerm", "One addend of a per-group sum: coef x variables, grouped by allocation.",
      {"coef", "variables", "allocation"});
  gt.def("__init__", &init3<GroupTermRecord>, nb::arg("coef"), nb::arg("variables"),
         nb::arg("allocation"));

  auto gv = bind_record<GroupedValuesRecord, 2>(
      m, "GroupedValues", "Numbers with a group label each.", {"values", "allocation"});
  gv.def("__init__", &init2<GroupedValuesRecord>, nb::arg("values"), nb::arg("allocation"));
  gv.def("sum", [](const GroupedValuesRecord& g) {
    GroupInput in = group_input(g);
    return arrays::array(core::kernels::group_sum(in.values, in.allocation));
  });
  gv.def("mean", &grouped_mean);
  gv.def("min", [](const GroupedValuesRecord& g) {
    GroupInput in = group_input(g);
    return arrays::array(core::kernels::group_min(in.values, in.allocation));
  });
  gv.def("max", [](const GroupedValuesRecord& g) {
    GroupInput in = group_input(g);
    return arrays::array(core::kernels::group_max(in.values, in.allocation));
  });

  auto gs = bind_record<GroupsRecord, 3>(m, "Groups", "Variables partitioned into groups.",
                                         {"variables", "allocation", "index"});
  gs.def("__init__", &init3<GroupsRecord>, nb::arg("variables"), nb::arg("allocation"),
         nb::arg("index"));
  gs.def("size", [](const GroupsRecord& g) {
    nb::object keep;
    nb::object a = arrays::to_dtype(g.values[1], arrays::DType::Int64);
    return arrays::array(core::kernels::group_count(arrays::span_as<int64_t>(a, keep)));
  });
  gs.def_prop_ro("lb", [](const GroupsRecord& g) {
    return nb::cast(GroupedValuesRecord{{{g.values[0].attr("lb"), g.values[1]}}});
  });
  gs.def_prop_ro("ub", [](const GroupsRecord& g) {
    return nb::cast(GroupedValuesRecord{{{g.values[0].attr("ub"), g.values[1]}}});
  });
}

}  // namespace ostrel::bindings::engine::optim
