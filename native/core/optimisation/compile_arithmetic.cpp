#include "core/optimisation/compile_arithmetic.hpp"

#include <vector>

#include "core/common/errors.hpp"

namespace ostrel::core::optimisation {

void require_variable(bool any) {
  check(any, "no variable operand");
  if (!any) value_error("no variable operand");
}

CompiledBlock compile_linear(std::span<const Term> terms, size_t n, int64_t start_col,
                             const std::string& block) {
  bool any = false;
  for (const Term& t : terms) any |= t.is_variable;
  require_variable(any);
  require_columns(start_col, n);
  for (const Term& t : terms) require_finite_terms(t, n, block);
  LinearCombination lc = linear_combination(terms, n, start_col);
  CompiledBlock b;
  b.output.vars = std::move(lc.output);
  b.equalities = std::move(lc.equalities);
  require_finite(b, block);
  return b;
}

CompiledBlock compile_add(std::span<const Operand> operands, size_t n, int64_t start_col) {
  std::vector<Term> terms;
  terms.reserve(operands.size());
  for (const Operand& x : operands) terms.push_back(x.term());
  return compile_linear(terms, n, start_col, "Add");
}

CompiledBlock compile_subtract(const Operand& left, const Operand& right, size_t n,
                               int64_t start_col) {
  const Term terms[] = {left.term(), right.term(PerStep::of(-1.0))};
  return compile_linear(terms, n, start_col, "Subtract");
}

CompiledBlock compile_multiply(const Operand& left, const Operand& right, size_t n,
                               int64_t start_col) {
  if (left.is_variable && right.is_variable)
    fail(ErrorKind::NotImplemented, "Multiply(var, var) is bilinear");
  require_variable(left.is_variable || right.is_variable);
  const Operand& variable = left.is_variable ? left : right;
  const Operand& other = left.is_variable ? right : left;
  const Term terms[] = {variable.term(other.value)};
  return compile_linear(terms, n, start_col, "Multiply");
}

CompiledBlock compile_divide(const Operand& numerator, const Operand& denominator, size_t n,
                             int64_t start_col) {
  if (denominator.is_variable)
    fail(ErrorKind::NotImplemented, "Division by a variable is nonlinear");
  require_variable(numerator.is_variable);
  std::vector<double> reciprocal;
  PerStep coef;
  if (!denominator.value.data) {
    if (denominator.value.scalar == 0.0) fail(ErrorKind::ZeroDivision, "float division by zero");
    coef = PerStep::of(1.0 / denominator.value.scalar);
  } else {
    reciprocal.resize(n);
    for (size_t i = 0; i < n; ++i) reciprocal[i] = 1.0 / denominator.value[i];
    coef = PerStep::of(std::span<const double>(reciprocal));
  }
  const Term terms[] = {numerator.term(coef)};
  return compile_linear(terms, n, start_col, "Divide");
}

}  // namespace ostrel::core::optimisation
