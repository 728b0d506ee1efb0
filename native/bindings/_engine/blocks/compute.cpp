// Numeric evaluation of the arithmetic blocks, and the argument reading and result wrapping
// that every block's `compute` shares.
#include "bindings/_engine/blocks/compute.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/pipeline/pipeline.hpp"
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

// Evaluates ((a op b) op c) ... over operands given by name, in order: a one-step run of the
// core's pipeline, so that the result and its labels are those of a component's run.
nb::object arithmetic(const std::vector<std::pair<nb::object, const char*>>& operands,
                      Timeline& timeline, cb::Arith op, const char* block) {
  std::vector<SeriesArg> series;
  series.reserve(operands.size());
  std::vector<nb::handle> hosts;
  pl::Step step;
  step.kind = pl::StepKind::Arithmetic;
  step.op = op;
  step.block = block;
  for (const auto& [value, name] : operands) {
    if (is_series(value)) {
      step.operands.push_back(pl::Operand::at(series.size()));
      series.push_back(series_arg(value, name));
      hosts.push_back(value);
    } else if (is_numeric_scalar(value)) {
      step.operands.push_back(pl::Operand::of(number_arg(value, name)));
    } else {
      operand_type_error(value, name, "Series or float");
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
  pl::Plan plan{series.size() + 1, {std::move(step)}, 0};
  std::vector<pl::StepResult> r = pl::run(*timeline.core, plan, filed);
  nb::object at = step_index(timeline, r.front(), index);
  return wrap(std::move(r.front().values), at, common_name(hosts));
}

template <cb::Arith Op>
nb::object binary_compute(const char* block, const char* left, const char* right) {
  const args::Signature sig{"compute", {{"timeline"}}, {{left}, {right}}};
  return records::method(
      "compute",
      [sig, block, left, right](nb::handle, nb::args a, nb::kwargs kw) {
        auto v = parse_compute(sig, a, kw);
        Timeline& t = timeline_arg(v[0]);
        std::vector<std::pair<nb::object, const char*>> operands{{v[1], left}, {v[2], right}};
        return arithmetic(operands, t, Op, block);
      },
      // Kept for the process: the method's docstring and signature are read from it.
      (new std::string("compute(timeline, *, " + std::string(left) + ", " + right +
                       "): the element-wise result, paired by label."))
          ->c_str());
}

// Add.compute(timeline, *, input_0, ..., input_<n-1>): exactly the block's operands, by the
// names of input_operands(); a missing or unknown keyword is the host's argument error, so that
// a caller's mistake never changes the sum.
nb::object add(nb::handle self, nb::args a, nb::kwargs kw) {
  const size_t n = nb::len(nb::object(self.attr("inputs")));
  std::vector<std::string> names;
  names.reserve(n);
  for (size_t k = 0; k < n; ++k) names.push_back(cb::listed_operand_name(k));
  args::Signature sig{"compute", {{"timeline"}}, {}};
  for (const std::string& name : names) sig.keyword_only.push_back({name.c_str()});
  auto v = parse_compute(sig, a, kw);
  Timeline& t = timeline_arg(v[0]);
  std::vector<std::pair<nb::object, const char*>> operands;
  for (size_t k = 0; k < n; ++k) operands.emplace_back(v[k + 1], names[k].c_str());
  return arithmetic(operands, t, cb::Arith::Add, "Add");
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

nb::object wrap(std::vector<double>&& values, nb::handle index, nb::handle name) {
  return convert::series(std::move(values), index, name);
}

nb::object wrap(core::blocks::Values&& values, nb::handle index, nb::handle name) {
  return convert::series(std::move(values), index, name);
}

core::blocks::Values at_labels(const SeriesArg& s, std::span<const int64_t> labels) {
  return cb::reindex(s.view(), labels);
}

std::vector<nb::object> parse_compute(const args::Signature& sig, const nb::args& a,
                                      const nb::kwargs& kw) {
  auto v = args::parse(sig, a, kw);
  timeline_arg(v[0]);
  return v;
}

InputCall parse_input_compute(const args::Signature& sig, const nb::args& a, const nb::kwargs& kw) {
  auto v = args::parse(sig, a, kw);
  Timeline& t = timeline_arg(v[0]);
  SeriesArg input = series_arg(v[1], "input");
  return {std::move(v), t, std::move(input)};
}

nb::object constant_compute() {
  return records::method(
      "compute",
      [](nb::handle self, nb::args a, nb::kwargs kw) {
        static const args::Signature sig{"compute", {{"timeline"}}, {}};
        auto v = parse_compute(sig, a, kw);
        Timeline& t = timeline_arg(v[0]);
        nb::object index = t.get_as(self.attr("resolution"));
        const double value = nb::cast<double>(self.attr("value").attr("value"));
        return wrap(std::vector<double>(nb::len(index), value), index);
      },
      "compute(timeline): the level's value at every period start of the resolution.");
}

nb::object add_compute() {
  return records::method("compute", &add,
                         "compute(timeline, **operands): the operands summed left to right, "
                         "paired by label.");
}

nb::object subtract_compute() {
  return binary_compute<cb::Arith::Subtract>("Subtract", "left", "right");
}
nb::object multiply_compute() {
  return binary_compute<cb::Arith::Multiply>("Multiply", "left", "right");
}
nb::object divide_compute() {
  return binary_compute<cb::Arith::Divide>("Divide", "numerator", "denominator");
}

}  // namespace ostrel::bindings::engine::compute
