// The small value records of relations and grouping: ConstraintTerm, GroupTerm, GroupedValues
// and Groups. Their fields hold host values (numbers, arrays, series, variable series).
#include <nanobind/nanobind.h>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/fields.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "core/kernels/kernels.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

struct ConstraintTermRecord : Fields<2> {};
struct GroupTermRecord : Fields<3> {};
struct GroupedValuesRecord : Fields<2> {};
struct GroupsRecord : Fields<3> {};

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

// One reduction of the group kernels over the values' groups.
template <std::vector<double> (*Kernel)(std::span<const double>, std::span<const int64_t>)>
nb::object grouped(const GroupedValuesRecord& g) {
  GroupInput in = group_input(g);
  return arrays::array(Kernel(in.values, in.allocation));
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
  gv.def("sum", &grouped<core::kernels::group_sum>);
  gv.def("mean", &grouped<core::kernels::group_mean>);
  gv.def("min", &grouped<core::kernels::group_min>);
  gv.def("max", &grouped<core::kernels::group_max>);

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
