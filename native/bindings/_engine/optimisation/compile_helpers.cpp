// The compilers' named steps as the engine module shows them: the one-sided clip and the
// slot variables of highest-N / lowest-N selection with their two row sets.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/arguments.hpp"
#include "core/common/errors.hpp"
#include "core/optimisation/compile_arithmetic.hpp"
#include "core/optimisation/compile_filters.hpp"
#include "core/optimisation/compile_select.hpp"

namespace ostrel::bindings::engine::optim::compile {

namespace {

nb::object compile_one_sided(nb::handle input, nb::handle limit, nb::handle next_available_col,
                             bool assume_convex, bool is_max) {
  nb::object x = nb::borrow(input), l = nb::borrow(limit);
  const Args args = read_args({{x, "input"}, {l, "limit"}}, false);
  const core::pipeline::StepOperands ops =
      core::pipeline::read_operands(args.args, {"input", "limit"});
  const int64_t start = nb::cast<int64_t>(next_available_col);
  co::CompiledBlock b =
      co::compile_one_sided(ops.ops[0], ops.ops[1], ops.n, start, assume_convex, is_max);
  return wrap(std::move(b), args.index[ops.first]);
}

// A Groups record read for the core: its variables, labels and each period's first member.
struct GroupsArg {
  nb::object variables;
  const VariableSeriesRecord* v = nullptr;
  co::PeriodGroups groups;
};

GroupsArg groups_arg(nb::handle groups) {
  if (!is_instance(groups, "Groups"))
    core::must_be("input_groups", "a Groups", bindings::type_name(groups));
  GroupsArg g;
  g.variables = groups.attr("variables");
  g.v = as_variables(g.variables);
  if (!g.v) throw nb::type_error("Groups.variables must be a VariableSeries");
  nb::object keep;
  nb::object alloc = arrays::to_dtype(groups.attr("allocation"), arrays::DType::Int64);
  g.groups = co::period_groups(arrays::span_as<int64_t>(alloc, keep), g.v->data->size());
  return g;
}

struct SlotsRecord {
  co::Slots core;
  nb::object w, thresholds, index;
};

nb::object slots_for_groups(nb::handle, nb::handle input_groups, nb::handle condition,
                            int64_t start_col) {
  const bool highest = is_instance(condition, "HighestCondition");
  core::check(highest || is_instance(condition, "LowestCondition"), "");
  const GroupsArg g = groups_arg(input_groups);
  co::require_columns(start_col, g.v->data->size());
  SlotsRecord s;
  s.core = co::Slots::for_groups(*g.v->data, g.groups, nb::cast<int64_t>(condition.attr("n")),
                                 highest, start_col);
  nb::object counts = arrays::array(std::vector<int64_t>(s.core.n_per_group));
  s.index = input_groups.attr("index").attr("repeat")(counts);
  s.w = make_variables(co::VariableSeries(s.core.w), s.index);
  s.thresholds =
      s.w.attr("gather")(arrays::array(std::vector<int64_t>(s.core.threshold_positions)));
  return nb::cast(std::move(s), nb::rv_policy::move);
}

const co::VariableSeries& series_arg(nb::handle v, const char* name) {
  const VariableSeriesRecord* r = as_variables(v);
  if (!r) core::must_be(name, "a VariableSeries", bindings::type_name(v));
  return *r->data;
}

nb::object pair(co::SlotRows&& rows) {
  return nb::make_tuple(make_constraints(Kind::Equality, std::move(rows.equalities)),
                        make_constraints(Kind::Inequality, std::move(rows.inequalities)));
}

}  // namespace

void init_compile(nb::module_& m) {
  m.def("_compile_one_sided", &compile_one_sided, nb::arg("input"), nb::arg("limit"),
        nb::arg("next_available_col"), nb::arg("assume_convex"), nb::arg("is_max"),
        "output = max(input, limit) (is_max) or min(input, limit) as a FunctionBlock.");
  nb::class_<SlotsRecord> c(m, "Slots",
                            "Per period, min(n, members) slot columns and their thresholds.");
  c.def_prop_ro("n_per_group", [](const SlotsRecord& s) {
    return arrays::array(std::vector<int64_t>(s.core.n_per_group));
  });
  c.def_prop_ro("slot_to_group", [](const SlotsRecord& s) {
    return arrays::array(std::vector<int64_t>(s.core.slot_to_group));
  });
  c.def_prop_ro("w", [](const SlotsRecord& s) { return s.w; });
  c.def_prop_ro("thresholds", [](const SlotsRecord& s) { return s.thresholds; });
  c.def_prop_ro("is_highest", [](const SlotsRecord& s) { return s.core.is_highest; });
  c.attr("for_groups") =
      classmethod(nb::cpp_function(&slots_for_groups, nb::arg("cls"), nb::arg("input_groups"),
                                   nb::arg("condition"), nb::arg("start_col")));
  c.def(
      "linear_base_constraints",
      [](const SlotsRecord& s, nb::handle input_groups, nb::handle z) {
        const GroupsArg g = groups_arg(input_groups);
        return pair(co::linear_base_constraints(s.core, *g.v->data, g.groups, series_arg(z, "z")));
      },
      nb::arg("input_groups"), nb::arg("z"),
      "(EqualitySeries, InequalitySeries): slot order, excess rows, one sum per period.");
  c.def(
      "milp_brackets",
      [](const SlotsRecord& s, nb::handle input_groups, nb::handle z, nb::handle delta) {
        const GroupsArg g = groups_arg(input_groups);
        return pair(co::milp_brackets(s.core, *g.v->data, g.groups, series_arg(z, "z"),
                                      series_arg(delta, "delta")));
      },
      nb::arg("input_groups"), nb::arg("z"), nb::arg("delta"),
      "(EqualitySeries, InequalitySeries): n binaries per period and their gated brackets.");
}

}  // namespace ostrel::bindings::engine::optim::compile
