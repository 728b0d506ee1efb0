// The blocks' `compute`: one method for every block, a one-step run of the core's pipeline, and
// the argument reading and result wrapping it shares with the Resample helpers.
#include "bindings/_engine/blocks/compute.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/pipeline/pipeline.hpp"
#include "bindings/_engine/pipeline/plan.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/operands.hpp"
#include "core/common/arguments.hpp"

namespace ostrel::bindings::engine::compute {

namespace cb = core::blocks;
namespace pl = core::pipeline;

namespace {

// The name of a result of several series: theirs when they all share it, else none.
nb::object common_name(const std::vector<nb::handle>& series) {
  nb::object name = nb::none();
  for (size_t k = 0; k < series.size(); ++k) {
    nb::object n = nb::getattr(series[k], "name", nb::none());
    if (k == 0) {
      name = n;
    } else if (!n.is(name) && !n.equal(name)) {
      return nb::none();
    }
  }
  return name;
}

// The result's name: the input's, the shared name of an arithmetic block's series, "value"
// for an aggregate's, none for a constant's.
nb::object result_name(const pl::Step& s, const std::vector<nb::handle>& series) {
  switch (s.kind) {
    case pl::StepKind::Constant:
      return nb::none();
    case pl::StepKind::Arithmetic:
      return common_name(series);
    case pl::StepKind::Aggregate:
      return nb::str("value");
    default:
      return series.front().attr("name");
  }
}

// compute(timeline, *, <operands>) of any block: the record read into a one-step plan whose
// slots hold the series given (numbers in place), run by the core's pipeline, so that the
// result and its labels are those of a component's run.
nb::object compute_block(const cb::BlockDeclaration& decl, nb::handle self, nb::args a,
                         nb::kwargs kw) {
  const OperandNames o = operand_names(decl, self);
  args::Signature sig{"compute", {{"timeline"}}, {}};
  for (const std::string& name : o.names)
    sig.keyword_only.push_back({name.c_str(), !o.optional(name)});
  auto v = parse_compute(sig, a, kw);
  Timeline& t = timeline_arg(v[0]);
  pl::Plan plan;
  PlanReader(&t, plan).step(self);
  pl::Step& step = plan.steps.front();
  step.operands.clear();
  const bool arithmetic = step.kind == pl::StepKind::Arithmetic;
  std::vector<SeriesArg> series;
  series.reserve(o.names.size());
  std::vector<nb::handle> hosts;
  for (size_t k = 0; k < o.names.size(); ++k) {
    const nb::object& value = v[k + 1];
    const char* name = o.names[k].c_str();
    const char* takes = cb::operand_takes(decl, name, arithmetic);
    if (!value.is_valid() || value.is_none()) {
      if (!o.optional(name)) operand_type_error(nb::none(), name, takes);
      step.operands.push_back(pl::Operand::none());
    } else if (is_series(value)) {
      step.operands.push_back(pl::Operand::at(series.size()));
      series.push_back(series_arg(value, name));
      hosts.push_back(value);
    } else if (is_numeric_scalar(value) && std::string_view(takes) != "Series") {
      step.operands.push_back(pl::Operand::of(number_arg(value, name)));
    } else {
      operand_type_error(value, name, takes);
    }
  }
  // Each series in a slot of its own; the result goes to the slot after them.
  std::vector<pl::Filed> filed;
  std::vector<nb::object> index;
  for (size_t k = 0; k < series.size(); ++k) {
    filed.push_back({k, series[k].labels, series[k].values});
    index.push_back(series[k].index);
  }
  step.output = series.size();
  plan.slots = series.size() + 1;
  const bool masked = step.kind == pl::StepKind::Select || step.kind == pl::StepKind::Mask ||
                      step.kind == pl::StepKind::Extremes;
  // A timeline of another kind gives its conditions by its own method.
  if (masked && !v[0].type().is(engine::attr("Timeline")))
    return masked_by_host(v[0], self, step, series);
  std::vector<pl::StepResult> r;
  try {
    r = pl::run(*t.core, plan, filed);
  } catch (const pl::Unsupported&) {
    return masked_by_host(v[0], self, step, series);  // an input off the grid
  }
  nb::object at = step_index(t, r.front(), index);
  return wrap(std::move(r.front().values), at, result_name(step, hosts));
}

}  // namespace

[[noreturn]] void operand_type_error(nb::handle value, const char* name, const char* expected) {
  core::incorrect_type(name, expected, bindings::type_name(value));
}

Timeline& timeline_arg(nb::handle value) {
  args::require_instance(value, engine::attr("Timeline"), "timeline");
  return nb::cast<Timeline&>(value);
}

SeriesArg series_arg(nb::handle value, const char* name) {
  if (!is_series(value)) operand_type_error(value, name, "Series");
  return convert::read_series(value);
}

double number_arg(nb::handle value, const char* name) {
  if (!is_numeric_scalar(value)) operand_type_error(value, name, "float");
  return PyFloat_AsDouble(nb::float_(value).ptr());
}

nb::object wrap(core::blocks::Values&& values, nb::handle index, nb::handle name) {
  return convert::series(std::move(values), index, name);
}

std::vector<nb::object> parse_compute(const args::Signature& sig, const nb::args& a,
                                      const nb::kwargs& kw) {
  auto v = args::parse(sig, a, kw);
  timeline_arg(v[0]);
  return v;
}

nb::object block_compute(const cb::BlockDeclaration& decl) {
  return records::method(
      "compute",
      [&decl](nb::handle self, nb::args a, nb::kwargs kw) {
        return compute_block(decl, self, a, kw);
      },
      decl.compute_doc.data());
}

OperandNames operand_names(const cb::BlockDeclaration& decl, nb::handle self) {
  OperandNames o;
  if (!decl.operands_list.empty()) {
    const size_t count = nb::len(nb::object(self.attr(decl.operands_list.data())));
    for (size_t k = 0; k < count; ++k) o.names.push_back(cb::listed_operand_name(k));
  }
  for (std::string_view name : decl.operands) o.names.emplace_back(name);
  o.optionals = cb::optional_fields(decl);
  return o;
}

bool OperandNames::optional(std::string_view name) const {
  return std::ranges::find(optionals, name) != optionals.end();
}

}  // namespace ostrel::bindings::engine::compute
