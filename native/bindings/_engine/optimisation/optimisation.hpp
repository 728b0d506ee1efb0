#pragma once
// The optimisation records as the rest of the engine module sees them: native classes over
// the core structs, with constructors from core values for the block compilers.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/optimisation/relations.hpp"
#include "core/optimisation/series.hpp"

namespace ostrel::bindings::engine::optim {
namespace nb = nanobind;
namespace co = core::optimisation;

// Fields of VariableSeries; the arrays are read-only views created on first access.
struct VariableSeriesRecord {
  std::shared_ptr<const co::VariableSeries> data;
  nb::object index;
  mutable nb::object views[4];

  co::VarRef ref() const { return co::VarRef::of(*data); }
};

struct ConstraintRecord {
  std::shared_ptr<const co::ConstraintSeries> data;
  mutable nb::object views[4];
};
struct EqualityRecord : ConstraintRecord {};
struct InequalityRecord : ConstraintRecord {};

enum class Kind { Constraint, Equality, Inequality };

// A validated VariableSeries over `index`.
nb::object make_variables(co::VariableSeries&& v, nb::object index);
// The same columns and bounds (shared, not copied) over another index of the same length.
nb::object with_index(const VariableSeriesRecord& v, nb::object index);
// The record, or null when `obj` is not a VariableSeries.
const VariableSeriesRecord* as_variables(nb::handle obj);
// A record of the given native kind, or of `cls` (a native class or a subclass of one).
nb::object make_constraints(Kind kind, co::ConstraintSeries&& c);
nb::object make_constraints_of(nb::handle cls, co::ConstraintSeries&& c);
const ConstraintRecord* as_constraints(nb::handle obj);
nb::handle constraint_type(Kind kind);

// FunctionBlock(output, auxiliaries, equalities, inequalities); `equalities` and
// `inequalities` may be None.
nb::object make_function_block(nb::object output, nb::object auxiliaries, nb::object equalities,
                               nb::object inequalities);

// Term-likes read for the core: the core terms, what keeps their arrays alive, and the
// variable factors in term order.
struct Terms {
  std::vector<co::Term> terms;
  std::vector<nb::object> keep;
  std::vector<nb::handle> variables;
};
// (coef, factor) pairs of term-likes: ConstraintTerm, 2-tuple or a bare factor.
std::vector<std::pair<nb::object, nb::object>> term_pairs(nb::handle terms);
Terms read_terms(const std::vector<std::pair<nb::object, nb::object>>& pairs, size_t n);

// The engine's broadcast of a per-step operand to n float64 values.
nb::object broadcast(nb::handle value, size_t n);
nb::object get_bounds(nb::handle x, nb::handle index);
nb::object sum_per_group(nb::handle terms, nb::handle rhs);
nb::object output_is_sum_per_group_args(nb::args args);

// Positions 0..n-1 of a positional selection (integers, negative from the end, or a mask).
std::vector<int64_t> positions(nb::handle indices, size_t n);

// Field-wise value equality and a hash consistent with it, aware of numpy and pandas values
// (which have no plain truth value or hash).
bool value_equal(nb::handle a, nb::handle b);
size_t value_hash(nb::handle x);
// "ClassName(name=value, ...)", "..." for a record that contains itself.
nb::object record_repr(nb::handle self, std::span<const std::pair<const char*, nb::handle>> fields);
inline nb::object record_repr(nb::handle self,
                              std::initializer_list<std::pair<const char*, nb::handle>> fields) {
  return record_repr(self, std::span(fields.begin(), fields.size()));
}
// The builtin classmethod around a native function taking cls first.
nb::object classmethod(nb::object fn);

// ExecutionContext.register_function_block on the engine's own context `ctx`.
void register_function_block(nb::handle ctx, nb::handle output_id, nb::handle block);

void init_series(nb::module_& m);
void init_terms(nb::module_& m);
void init_relations(nb::module_& m);
void init_function_block(nb::module_& m);
void init_context(nb::module_& m);
void init_groups(nb::module_& m);
void init_direction(nb::module_& m);

}  // namespace ostrel::bindings::engine::optim
