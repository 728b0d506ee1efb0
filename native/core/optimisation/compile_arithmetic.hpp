#pragma once
// Add, Subtract, Multiply and Divide compiled: one new column per step equal to a linear
// combination of the operands; products and quotients of two variables are refused.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/optimisation/compile_common.hpp"

namespace ostrel::core::optimisation {

// The output equal to sum(coef x factor) over the terms, from start_col, on the variable
// operands' index. At least one term is a variable ("no variable operand"); every known
// coefficient and value is finite (a ValueError naming `block` otherwise).
CompiledBlock compile_linear(std::span<const Term> terms, size_t n, int64_t start_col,
                             const std::string& block);

CompiledBlock compile_add(std::span<const Operand> operands, size_t n, int64_t start_col);
CompiledBlock compile_subtract(const Operand& left, const Operand& right, size_t n,
                               int64_t start_col);
// NotImplementedError "Multiply(var, var) is bilinear" for two variables.
CompiledBlock compile_multiply(const Operand& left, const Operand& right, size_t n,
                               int64_t start_col);
// NotImplementedError "Division by a variable is nonlinear" for a variable denominator; a
// plain zero denominator is the host's division by zero.
CompiledBlock compile_divide(const Operand& numerator, const Operand& denominator, size_t n,
                             int64_t start_col);

// "no variable operand" unless some operand is a variable (an assertion; a ValueError with
// the same text when the host skips assertions, since nothing could be compiled).
void require_variable(bool any);

}  // namespace ostrel::core::optimisation
