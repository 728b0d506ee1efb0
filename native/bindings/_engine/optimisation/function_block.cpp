// FunctionBlock: the solver columns and rows one compiled pipeline step adds to a model.
#include <nanobind/nanobind.h>

#include "bindings/_engine/optimisation/fields.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/arguments.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

// output, auxiliaries, equalities, inequalities.
struct FunctionBlockRecord : Fields<4> {
  const nb::object& output() const { return values[0]; }
  const nb::object& auxiliaries() const { return values[1]; }
};

void require_kind(nb::handle value, Kind kind, const char* field) {
  if (value.is_none()) return;
  if (!nb::isinstance(value, constraint_type(kind)))
    core::must_be(
        field, kind == Kind::Equality ? "an EqualitySeries or None" : "an InequalitySeries or None",
        bindings::type_name(value));
}

FunctionBlockRecord checked(nb::handle output, nb::handle auxiliaries, nb::handle equalities,
                            nb::handle inequalities) {
  if (!as_variables(output))
    core::must_be("output", "a VariableSeries", bindings::type_name(output));
  nb::tuple aux = PyTuple_Check(auxiliaries.ptr()) ? nb::borrow<nb::tuple>(auxiliaries)
                                                   : nb::tuple(auxiliaries);
  for (nb::handle a : aux)
    if (!as_variables(a)) core::must_be("auxiliaries", "VariableSeries", bindings::type_name(a));
  require_kind(equalities, Kind::Equality, "equalities");
  require_kind(inequalities, Kind::Inequality, "inequalities");
  return {{{nb::borrow(output), aux, nb::borrow(equalities), nb::borrow(inequalities)}}};
}

int64_t next_available_col(const FunctionBlockRecord& b) {
  int64_t next = as_variables(b.output())->data->next_col();
  for (nb::handle a : b.auxiliaries()) next = std::max(next, as_variables(a)->data->next_col());
  return next;
}

// Joins two optional records of one kind: absent parts are skipped, both absent is None.
nb::object join(Kind kind, nb::handle a, nb::handle b) {
  if (a.is_none()) return nb::borrow(b);
  if (b.is_none()) return nb::borrow(a);
  const co::ConstraintSeries* parts[2] = {as_constraints(a)->data.get(),
                                          as_constraints(b)->data.get()};
  return make_constraints(kind, co::concatenate(parts));
}

nb::object then(const FunctionBlockRecord& self, nb::handle next_block) {
  if (!nb::isinstance<FunctionBlockRecord>(next_block))
    core::must_be("next_block", "a FunctionBlock", bindings::type_name(next_block));
  const auto& next = nb::cast<const FunctionBlockRecord&>(next_block);
  nb::list aux;
  aux.append(self.output());
  for (nb::handle a : self.auxiliaries()) aux.append(a);
  for (nb::handle a : next.auxiliaries()) aux.append(a);
  return make_function_block(next.output(), nb::tuple(aux),
                             join(Kind::Equality, self.values[2], next.values[2]),
                             join(Kind::Inequality, self.values[3], next.values[3]));
}

}  // namespace

nb::object make_function_block(nb::object output, nb::object auxiliaries, nb::object equalities,
                               nb::object inequalities) {
  return nb::cast(checked(output, auxiliaries, equalities, inequalities), nb::rv_policy::move);
}

void init_function_block(nb::module_& m) {
  auto c = bind_record<FunctionBlockRecord, 4>(
      m, "FunctionBlock", "The columns and rows of one compiled pipeline step.",
      {"output", "auxiliaries", "equalities", "inequalities"});
  c.def(
      "__init__",
      [](FunctionBlockRecord* self, nb::handle output, nb::handle auxiliaries,
         nb::handle equalities, nb::handle inequalities) {
        new (self) FunctionBlockRecord(checked(output, auxiliaries, equalities, inequalities));
      },
      nb::arg("output"), nb::arg("auxiliaries") = nb::tuple(),
      nb::arg("equalities").none() = nb::none(), nb::arg("inequalities").none() = nb::none());
  c.def_prop_ro("next_available_col", &next_available_col);
  c.def("then", &then, nb::arg("next_block"));
}

}  // namespace ostrel::bindings::engine::optim
