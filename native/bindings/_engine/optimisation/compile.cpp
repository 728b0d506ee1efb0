// The compile methods' shared reading and wrapping, and the arithmetic blocks' compile.
#include "bindings/_engine/optimisation/compile.hpp"

#include <nanobind/stl/string.h>

#include <optional>

#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/operands.hpp"
#include "core/blocks/periods.hpp"
#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"
#include "core/optimisation/compile_operands.hpp"

namespace ostrel::bindings::engine::optim::compile {

namespace {

int64_t column_arg(nb::handle value) {
  if (!PyLong_Check(value.ptr())) compute::operand_type_error(value, "next_available_col", "int");
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow) core::value_error("next_available_col is too large");
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return static_cast<int64_t>(v);
}

bool truth(nb::handle value) {
  const int t = PyObject_IsTrue(value.ptr());
  if (t < 0) throw nb::python_error();
  return t == 1;
}

const char* kCompileDoc =
    "compile(timeline, next_available_col, assume_convex, **operands): the block's solver "
    "columns and rows, columns numbered from next_available_col.";

template <typename F>
nb::object compile_method(F&& f) {
  return records::method("compile", std::forward<F>(f), kCompileDoc);
}

}  // namespace

args::Signature compile_signature(std::vector<args::Param> operands) {
  return args::Signature{
      "compile", {{"timeline"}, {"next_available_col"}, {"assume_convex"}}, std::move(operands)};
}

CompileArgs parse_compile(const args::Signature& sig, const nb::args& a, const nb::kwargs& kw) {
  std::vector<nb::object> v = args::parse(sig, a, kw);
  CompileArgs out;
  out.timeline = v[0];
  out.start_col = column_arg(v[1]);
  out.assume_convex = truth(v[2]);
  out.operands.assign(v.begin() + 3, v.end());
  return out;
}

namespace {

bool listed(std::initializer_list<std::string_view> names, const char* name) {
  for (std::string_view n : names)
    if (n == name) return true;
  return false;
}

}  // namespace

bool time_labelled(nb::handle series) {
  nb::object index = series.attr("index");
  return nb::isinstance(index, host::datetime_index_type()) && !index.attr("tz").is_none();
}

Operands read_operands(const std::vector<std::pair<nb::object, const char*>>& values,
                       const char* mismatch, std::initializer_list<std::string_view> optional) {
  for (const auto& [value, name] : values)
    if ((!value.is_valid() || value.is_none()) && !listed(optional, name))
      compute::operand_type_error(value.is_valid() ? value : nb::none(), name,
                                  "VariableSeries, Series or float");
  Operands out;
  for (const auto& [value, name] : values) {
    if (!value.is_valid() || value.is_none()) continue;
    const VariableSeriesRecord* v = as_variables(value);
    if (!v) continue;
    if (!out.first) {
      out.first = v;
      out.index = v->index;
      out.n = v->data->size();
    } else if (core::assertions_enabled() && !value_equal(v->index, out.first->index)) {
      raise_assertion(mismatch);
    }
  }
  if (!out.first) {
    out.index = nb::none();
    for (const auto& [value, name] : values)
      if (value.is_valid() && compute::is_series(value)) {
        out.n = nb::len(value);
        break;
      }
  }
  out.ops.reserve(values.size());
  co::Steps steps{out.n, {}};
  InstantsView at;  // the first variable's instants, read for the first series operand
  bool at_read = false;
  for (const auto& [value, name] : values) {
    co::Given given;
    convert::SeriesArg series;
    if (!value.is_valid() || value.is_none()) {
      given = co::Given::absent();
    } else if (const VariableSeriesRecord* v = as_variables(value)) {
      given = co::Given::of(*v->data);
    } else if (compute::is_series(value) && out.first && time_labelled(value)) {
      series = convert::read_series(value);
      if (!at_read) {
        at = instants_view(out.index);
        steps.labels = at.ns;
        at_read = true;
      }
      given = co::Given::of(series.labels, series.values);
    } else if (compute::is_series(value) || arrays::is_numeric_scalar(value) ||
               arrays::is_ndarray(value)) {
      given = co::Given::of(arrays::per_step(value, out.n, out.keep));
    } else {
      compute::operand_type_error(value, name, "VariableSeries, Series or float");
    }
    out.ops.push_back(co::read_operand(given, steps, name, out.kept));
  }
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

// -- the arithmetic blocks ---------------------------------------------------------------------

nb::object constant_compile() {
  return compile_method([](nb::handle, nb::args, nb::kwargs) -> nb::object {
    core::fail(core::ErrorKind::NotImplemented,
               "Constant is data-only; compile() is never dispatched");
  });
}

nb::object add_compile() {
  // Exactly the block's operands, input_0 .. input_<n-1>, as compute takes them.
  return compile_method([](nb::handle self, nb::args a, nb::kwargs kw) {
    const size_t count = nb::len(nb::object(self.attr("inputs")));
    std::vector<std::string> names;
    names.reserve(count);
    for (size_t k = 0; k < count; ++k) names.push_back(core::blocks::listed_operand_name(k));
    std::vector<args::Param> params;
    for (const std::string& name : names) params.push_back({name.c_str()});
    CompileArgs c = parse_compile(compile_signature(std::move(params)), a, kw);
    std::vector<std::pair<nb::object, const char*>> values;
    for (size_t k = 0; k < count; ++k) values.emplace_back(c.operands[k], names[k].c_str());
    Operands ops = read_operands(values);
    core::optimisation::require_variable(ops.any_variable());
    co::CompiledBlock b;
    {
      nb::gil_scoped_release unlocked;
      b = co::compile_add(ops.ops, ops.n, c.start_col);
    }
    return wrap(std::move(b), ops.index);
  });
}

namespace {

using Binary = co::CompiledBlock (*)(const co::Operand&, const co::Operand&, size_t, int64_t);

template <Binary F>
nb::object binary_compile(const char* left, const char* right) {
  const args::Signature sig = compile_signature({{left}, {right}});
  return compile_method([sig, left, right](nb::handle, nb::args a, nb::kwargs kw) {
    CompileArgs c = parse_compile(sig, a, kw);
    Operands ops = read_operands({{c.operands[0], left}, {c.operands[1], right}});
    co::CompiledBlock b;
    {
      nb::gil_scoped_release unlocked;
      b = F(ops.ops[0], ops.ops[1], ops.n, c.start_col);
    }
    return wrap(std::move(b), ops.index);
  });
}

}  // namespace

nb::object subtract_compile() { return binary_compile<co::compile_subtract>("left", "right"); }
nb::object multiply_compile() { return binary_compile<co::compile_multiply>("left", "right"); }
nb::object divide_compile() {
  return binary_compile<co::compile_divide>("numerator", "denominator");
}

}  // namespace ostrel::bindings::engine::optim::compile
