// Relations over variable series, built in bulk by the core: eq / le / ge and their gated
// forms, linear combinations, per-group sums, and the broadcast and gather helpers.
#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

using arrays::DType;

const VariableSeriesRecord& require_variables(nb::handle v, const char* what) {
  const VariableSeriesRecord* r = as_variables(v);
  if (!r) co::not_variable_series(what, bindings::type_name(v));
  return *r;
}

nb::object from_relation(nb::handle cls, nb::handle y, nb::handle terms, nb::handle rhs,
                         double sign) {
  const VariableSeriesRecord& yv = require_variables(y, "y");
  const size_t n = yv.data->size();
  Terms t = read_terms(term_pairs(terms), n);
  core::kernels::PerStep r = arrays::per_step(rhs, n, t.keep);
  co::ConstraintSeries rows;
  {
    nb::gil_scoped_release unlocked;
    rows = co::relation(yv.ref(), sign, r, t.terms);
  }
  return make_constraints_of(cls, std::move(rows));
}

nb::object gated(nb::handle y, nb::handle terms, nb::handle gate, nb::handle when, double sign) {
  const VariableSeriesRecord& yv = require_variables(y, "y");
  const VariableSeriesRecord& g = require_variables(gate, "gate");
  Terms t = read_terms(term_pairs(terms), yv.data->size());
  const int one = PyObject_RichCompareBool(when.ptr(), nb::int_(1).ptr(), Py_EQ);
  if (one < 0) throw nb::python_error();
  co::ConstraintSeries rows;
  {
    nb::gil_scoped_release unlocked;
    rows = co::gated_relation(yv.ref(), sign, t.terms, g.data->cols, one == 1);
  }
  return make_constraints(Kind::Inequality, std::move(rows));
}

nb::object linear_combination(nb::handle terms, int64_t start_col) {
  auto pairs = term_pairs(terms);
  const VariableSeriesRecord* first = nullptr;
  for (const auto& [coef, factor] : pairs) {
    const VariableSeriesRecord* v = as_variables(factor);
    if (!v) continue;
    if (!first) {
      first = v;
    } else if (core::assertions_enabled() && !value_equal(v->index, first->index)) {
      raise_assertion("VariableSeries must share an index");
    }
  }
  core::check(first != nullptr, "no variable factor");
  if (!first) core::value_error("no variable factor");
  const size_t n = first->data->size();
  Terms t = read_terms(pairs, n);
  co::LinearCombination lc;
  {
    nb::gil_scoped_release unlocked;
    lc = co::linear_combination(t.terms, n, start_col);
  }
  nb::object output = make_variables(std::move(lc.output), first->index);
  nb::object eq = make_constraints(Kind::Equality, std::move(lc.equalities));
  return make_function_block(output, nb::tuple(), eq, nb::none());
}

// The group labels of a term as int64 (an integer array of any width).
nb::object allocation_of(nb::handle allocation) {
  nb::object a = arrays::is_ndarray(allocation) || arrays::is_series(allocation)
                     ? nb::borrow(allocation)
                     : arrays::numpy().attr("asarray")(allocation);
  if (arrays::is_series(a)) a = a.attr("to_numpy")();
  const std::string kind = nb::cast<std::string>(a.attr("dtype").attr("kind"));
  if (kind != "i" && kind != "u" && nb::len(a) > 0)
    co::labels_not_integer(nb::cast<std::string>(nb::str(nb::object(a.attr("dtype")))));
  return arrays::to_dtype(a, DType::Int64);
}

std::vector<double> group_rhs(nb::handle rhs, size_t groups) {
  nb::object arr = broadcast(rhs, groups);
  arrays::ensure(arr, DType::Float64);
  nb::object keep;
  auto s = arrays::span_as<double>(arr, keep);
  return std::vector<double>(s.begin(), s.end());
}

nb::object module_gather(nb::handle x, nb::handle indices, nb::handle index) {
  if (as_variables(x)) return x.attr("gather")(indices, index);
  if (arrays::is_series(x)) return x.attr("iloc")[indices];
  if (arrays::is_ndarray(x)) return x[indices];
  return nb::borrow(x);
}

}  // namespace

std::vector<std::pair<nb::object, nb::object>> term_pairs(nb::handle terms) {
  nb::handle term_type = engine::attr("ConstraintTerm");
  std::vector<std::pair<nb::object, nb::object>> out;
  for (nb::handle item : terms) {
    if (nb::isinstance(item, term_type)) {
      out.emplace_back(item.attr("coef"), item.attr("factor"));
    } else if (PyTuple_Check(item.ptr())) {
      if (nb::len(item) != 2) co::constraint_term_fields(nb::len(item));
      out.emplace_back(nb::borrow(item[0]), nb::borrow(item[1]));
    } else {
      out.emplace_back(nb::float_(1.0), nb::borrow(item));
    }
  }
  return out;
}

Terms read_terms(const std::vector<std::pair<nb::object, nb::object>>& pairs, size_t n) {
  Terms t;
  t.terms.reserve(pairs.size());
  for (const auto& [coef, factor] : pairs) {
    if (as_variables(coef)) co::variable_coefficient();
    co::Term term;
    term.coef = arrays::per_step(coef, n, t.keep);
    if (const VariableSeriesRecord* v = as_variables(factor)) {
      term.is_variable = true;
      term.variable = v->ref();
      t.variables.push_back(factor);
    } else {
      term.constant = arrays::per_step(factor, n, t.keep);
    }
    t.terms.push_back(term);
  }
  return t;
}

nb::object broadcast(nb::handle value, size_t n) {
  if (arrays::is_python_number(value))
    return arrays::array(std::vector<double>(n, nb::cast<double>(nb::float_(value))));
  if (arrays::is_series(value)) {
    core::kernels::check_broadcast_length(n, nb::len(value));
    return arrays::to_dtype(value, DType::Float64);
  }
  return nb::borrow(value);
}

nb::object get_bounds(nb::handle x, nb::handle index) {
  if (as_variables(x)) return nb::make_tuple(x.attr("lb"), x.attr("ub"));
  nb::object b = broadcast(x, nb::len(index));
  return nb::make_tuple(b, b);
}

nb::object sum_per_group(nb::handle terms, nb::handle rhs) {
  nb::handle group_type = engine::attr("GroupTerm");
  std::vector<nb::object> keep;
  std::vector<co::GroupTermRef> refs;
  for (nb::handle item : terms) {
    nb::object coef, variables, allocation;
    if (nb::isinstance(item, group_type)) {
      coef = item.attr("coef"), variables = item.attr("variables");
      allocation = item.attr("allocation");
    } else if (PyTuple_Check(item.ptr()) && (nb::len(item) == 3 || nb::len(item) == 2)) {
      const bool full = nb::len(item) == 3;
      coef = full ? nb::borrow(item[0]) : nb::float_(1.0);
      variables = nb::borrow(item[full ? 1 : 0]);
      allocation = nb::borrow(item[full ? 2 : 1]);
    } else {
      co::group_term_type(bindings::type_name(item));
    }
    const VariableSeriesRecord& v = require_variables(variables, "variables");
    nb::object alloc = allocation_of(allocation);
    nb::object held;
    co::GroupTermRef ref;
    ref.coef = arrays::per_step(coef, v.data->size(), keep);
    ref.cols = v.data->cols;
    ref.allocation = arrays::span_as<int64_t>(alloc, held);
    keep.push_back(held.is_valid() ? held : alloc);
    keep.push_back(variables);
    refs.push_back(ref);
  }
  co::GroupRows g = co::sum_per_group(refs);
  g.rows.rhs = group_rhs(rhs, g.groups);
  co::validate(g.rows);
  return make_constraints(Kind::Equality, std::move(g.rows));
}

nb::object output_is_sum_per_group_args(nb::args args) {
  const size_t given = nb::len(args);
  co::check_positional_count("output_is_sum_per_group", 3, 5, given);
  nb::handle output = args[0], input = args[1], groups = args[2];
  nb::object weight = given > 3 ? nb::borrow(args[3]) : nb::float_(1.0);
  nb::object rhs = given > 4 ? nb::borrow(args[4]) : nb::float_(0.0);
  const VariableSeriesRecord& out = require_variables(output, "output");
  std::vector<int64_t> own = co::own_groups(out.data->size());
  nb::object negated = nb::steal(PyNumber_Negative(weight.ptr()));
  if (!negated.is_valid()) throw nb::python_error();
  nb::list terms;
  terms.append(nb::make_tuple(1.0, output, arrays::array(std::move(own))));
  terms.append(nb::make_tuple(negated, input, groups));
  return sum_per_group(terms, rhs);
}

void init_relations(nb::module_& m) {
  nb::handle cs = constraint_type(Kind::Constraint);
  cs.attr("from_relation") =
      classmethod(nb::cpp_function(&from_relation, nb::arg("cls"), nb::arg("y"), nb::arg("terms"),
                                   nb::kw_only(), nb::arg("rhs"), nb::arg("sign")));
  m.def(
      "eq",
      [](nb::handle y, nb::handle terms, nb::handle rhs) {
        return from_relation(constraint_type(Kind::Equality), y, terms, rhs, 1.0);
      },
      nb::arg("y"), nb::arg("terms"), nb::arg("rhs") = 0.0);
  m.def(
      "le",
      [](nb::handle y, nb::handle terms, nb::handle rhs) {
        return from_relation(constraint_type(Kind::Inequality), y, terms, rhs, 1.0);
      },
      nb::arg("y"), nb::arg("terms"), nb::arg("rhs") = 0.0);
  m.def(
      "ge",
      [](nb::handle y, nb::handle terms, nb::handle rhs) {
        return from_relation(constraint_type(Kind::Inequality), y, terms, rhs, -1.0);
      },
      nb::arg("y"), nb::arg("terms"), nb::arg("rhs") = 0.0);
  m.def(
      "le_when",
      [](nb::handle y, nb::handle terms, nb::handle gate, nb::handle when) {
        return gated(y, terms, gate, when, 1.0);
      },
      nb::arg("y"), nb::arg("terms"), nb::arg("gate"), nb::arg("when"));
  m.def(
      "ge_when",
      [](nb::handle y, nb::handle terms, nb::handle gate, nb::handle when) {
        return gated(y, terms, gate, when, -1.0);
      },
      nb::arg("y"), nb::arg("terms"), nb::arg("gate"), nb::arg("when"));
  m.def("linear_combination", &linear_combination, nb::arg("terms"), nb::arg("start_col"));
  m.def("sum_per_group", &sum_per_group, nb::arg("terms"), nb::arg("rhs") = 0.0);
  m.def(
      "broadcast", [](nb::handle value, size_t n) { return broadcast(value, n); }, nb::arg("value"),
      nb::arg("n"));
  m.def("gather", &module_gather, nb::arg("x").none(), nb::arg("indices"), nb::arg("index").none());
}

}  // namespace ostrel::bindings::engine::optim
