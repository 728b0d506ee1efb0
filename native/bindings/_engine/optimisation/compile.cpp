// The blocks' `compile`: one method for every block, a one-step run of the core's compile, and
// the operand reading and result wrapping it shares with the named compile helpers.
#include "bindings/_engine/optimisation/compile.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <optional>

#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/pipeline/plan.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/operands.hpp"
#include "core/blocks/periods.hpp"
#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"
#include "core/optimisation/compile_operands.hpp"
#include "core/pipeline/compile_step.hpp"

namespace ostrel::bindings::engine::optim::compile {

namespace pl = core::pipeline;

namespace {

int64_t column_arg(nb::handle value) {
  if (!PyLong_Check(value.ptr())) compute::operand_type_error(value, "next_available_col", "int");
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow) core::value_error("next_available_col is too large");
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return static_cast<int64_t>(v);
}

// compile(timeline, next_available_col, assume_convex, *, <operands>).
struct CompileArgs {
  nb::object timeline;
  int64_t start_col = 0;
  bool assume_convex = false;
  std::vector<nb::object> operands;  // in signature order; absent optional ones invalid
};

args::Signature compile_signature(std::vector<args::Param> operands) {
  return args::Signature{
      "compile", {{"timeline"}, {"next_available_col"}, {"assume_convex"}}, std::move(operands)};
}

CompileArgs parse_compile(const args::Signature& sig, const nb::args& a, const nb::kwargs& kw) {
  std::vector<nb::object> v = args::parse(sig, a, kw);
  CompileArgs out;
  out.timeline = v[0];
  out.start_col = column_arg(v[1]);
  out.assume_convex = convert::truth(v[2]);
  out.operands.assign(v.begin() + 3, v.end());
  return out;
}

}  // namespace

bool time_labelled(nb::handle series) {
  nb::object index = series.attr("index");
  return nb::isinstance(index, host::datetime_index_type()) && !index.attr("tz").is_none();
}

Args read_args(const std::vector<std::pair<nb::object, const char*>>& values, bool labels,
               const char* mismatch, std::span<const std::string_view> optional) {
  for (const auto& [value, name] : values)
    if ((!value.is_valid() || value.is_none()) &&
        std::ranges::find(optional, std::string_view(name)) == optional.end())
      compute::operand_type_error(value.is_valid() ? value : nb::none(), name,
                                  "VariableSeries, Series or float");
  const VariableSeriesRecord* first = nullptr;
  size_t n = 0;
  for (const auto& [value, name] : values) {
    if (!value.is_valid() || value.is_none()) continue;
    const VariableSeriesRecord* v = as_variables(value);
    if (!v) continue;
    if (!first) {
      first = v;
      n = v->data->size();
    } else if (core::assertions_enabled() && !value_equal(v->index, first->index)) {
      raise_assertion(mismatch);
    }
  }
  if (!first)
    for (const auto& [value, name] : values)
      if (value.is_valid() && compute::is_series(value)) {
        n = nb::len(value);
        break;
      }
  Args out;
  out.series.reserve(values.size());
  bool at_read = false;
  auto steps = [&] {
    if (!at_read) out.steps = instants_view(first->index);
    at_read = true;
    return out.steps.ns;
  };
  for (const auto& [value, name] : values) {
    pl::StepArg a;
    nb::object index = nb::none();
    if (!value.is_valid() || value.is_none()) {
      a.given = co::Given::absent();
    } else if (const VariableSeriesRecord* v = as_variables(value)) {
      a.given = co::Given::of(*v->data);
      a.size = v->data->size();
      index = v->index;
    } else if (compute::is_series(value) && first && time_labelled(value)) {
      out.series.push_back(convert::read_series(value));
      const convert::SeriesArg& s = out.series.back();
      steps();
      a.given = co::Given::of(s.labels, s.values);
      a.labels = s.labels;
      a.size = s.labels.size();
      index = s.index;
    } else if (compute::is_series(value) || arrays::is_numeric_scalar(value) ||
               arrays::is_ndarray(value)) {
      a.given = co::Given::of(arrays::per_step(value, n, out.keep));
      if (compute::is_series(value)) {
        a.size = nb::len(value);
        index = value.attr("index");
      }
    } else {
      compute::operand_type_error(value, name, "VariableSeries, Series or float");
    }
    out.args.push_back(a);
    out.index.push_back(std::move(index));
  }
  // Every variable operand is on the first one's steps.
  if (first && (labels || at_read))
    for (pl::StepArg& a : out.args)
      if (a.given.kind == co::Given::Kind::Variables) a.labels = steps();
  return out;
}

namespace {
nb::object placed(co::Placed&& p, nb::handle base) {
  nb::object index =
      p.positions ? base.attr("take")(arrays::array(std::move(*p.positions))) : nb::borrow(base);
  return make_variables(std::move(p.vars), index);
}
}  // namespace

nb::object wrap(co::CompiledBlock&& block, nb::handle base_index) {
  nb::object output = placed(std::move(block.output), base_index);
  nb::list aux;
  for (co::Placed& a : block.auxiliaries) aux.append(placed(std::move(a), base_index));
  nb::object eq = block.equalities ? make_constraints(Kind::Equality, std::move(*block.equalities))
                                   : nb::none();
  nb::object ineq = block.inequalities
                        ? make_constraints(Kind::Inequality, std::move(*block.inequalities))
                        : nb::none();
  return make_function_block(output, nb::tuple(aux), eq, ineq);
}

MaskView condition_mask(nb::handle timeline, nb::handle index, nb::handle condition,
                        nb::handle resolution) {
  MaskView m;
  Timeline& t = compute::timeline_arg(timeline);
  if (Py_IS_TYPE(timeline.ptr(), reinterpret_cast<PyTypeObject*>(engine::attr("Timeline").ptr()))) {
    InstantsView instants = instants_view(index);
    const std::optional<cal::Mask> own =
        core::blocks::condition_flags(*t.core, instants.ns, to_resolution(resolution),
                                      time_condition(condition), t.holiday_list());
    if (own) {
      m.own.assign(own->begin(), own->end());
      m.flags = m.own;
      return m;
    }
  }
  nb::object raw = timeline.attr("get_condition_mask")(index, condition);
  m.array = arrays::to_dtype(raw, arrays::DType::Bool);
  m.array = arrays::numpy().attr("ascontiguousarray")(m.array);
  nb::object keep;
  m.flags = arrays::span_as<uint8_t>(m.array, keep);
  if (keep.is_valid()) m.array = keep;
  co::check_condition_mask_length(m.flags.size(), nb::len(index));
  return m;
}

// -- the blocks' compile ----------------------------------------------------------------------

namespace {

using pl::StepKind;

// A Mask's base index: its input's, variables or numbers ("input has no index" for anything
// else); a variable replacement must share it.
nb::object mask_index(const nb::object& input, const nb::object& replacement,
                      const char* mismatch) {
  nb::object index;
  if (const VariableSeriesRecord* v = as_variables(input))
    index = v->index;
  else if (compute::is_series(input))
    index = input.attr("index");
  if (!index.is_valid()) co::input_without_index();
  if (const VariableSeriesRecord* r = as_variables(replacement))
    if (core::assertions_enabled() && !value_equal(r->index, index)) raise_assertion(mismatch);
  return index;
}

nb::object compile_block(const core::blocks::BlockDeclaration& decl, nb::handle self, nb::args a,
                         nb::kwargs kw) {
  if (decl.operands.empty() && decl.operands_list.empty()) pl::data_only_block();
  const compute::OperandNames o = compute::operand_names(decl, self);
  std::vector<args::Param> params;
  for (const std::string& name : o.names) params.push_back({name.c_str(), !o.optional(name)});
  CompileArgs c = parse_compile(compile_signature(std::move(params)), a, kw);
  pl::Plan plan;
  PlanReader(nullptr, plan).step(self);
  const pl::Step& s = plan.steps.front();
  const pl::CompileReading how = pl::compile_reading(s.kind);
  if (how.one_input) co::require_variable(as_variables(c.operands[0]) != nullptr);
  nb::object mask_at = s.kind == StepKind::Mask
                           ? mask_index(c.operands[0], c.operands[1], how.mismatch)
                           : nb::none();
  std::vector<std::pair<nb::object, const char*>> values;
  for (size_t k = 0; k < o.names.size(); ++k)
    values.emplace_back(c.operands[k], o.names[k].c_str());
  Args args = read_args(values, how.grouped, how.mismatch, o.optionals);
  Timeline* t = how.grouped ? &compute::timeline_arg(c.timeline) : nullptr;
  std::optional<MaskView> holds;
  if (s.kind == StepKind::Select || s.kind == StepKind::Mask)
    holds = condition_mask(c.timeline, s.kind == StepKind::Mask ? mask_at : args.index[0],
                           self.attr("condition"), self.attr("input").attr("resolution"));
  // A resample checks its input's steps against the periods of its source (read here: the
  // core runs without the host's lock).
  InstantsView starts;
  if (s.kind == StepKind::Resample) starts = instants_view(t->get_as(resolution_member(s.source)));
  const pl::PeriodStarts period_starts = [&](core::domain::Resolution) { return starts.ns; };
  pl::StepResult r;
  co::CompiledBlock b;
  {
    nb::gil_scoped_release released;
    b = pl::compile_step(t ? t->core.get() : nullptr, s, args.args, period_starts,
                         holds ? std::optional(holds->flags) : std::nullopt, c.start_col,
                         c.assume_convex, r);
  }
  if (r.labels_of == pl::StepResult::LabelsOf::PeriodStarts)
    return wrap(std::move(b), t->get_as(resolution_member(r.resolution)));
  return wrap(std::move(b), s.kind == StepKind::Mask ? mask_at : args.index[r.slot]);
}

}  // namespace

nb::object block_compile(const core::blocks::BlockDeclaration& decl) {
  return records::method(
      "compile",
      [&decl](nb::handle self, nb::args a, nb::kwargs kw) {
        return compile_block(decl, self, a, kw);
      },
      decl.compile_doc.data());
}

}  // namespace ostrel::bindings::engine::optim::compile
