#pragma once
// Argument checks of the optimisation layer's functions, with the system's messages. The
// bindings find out what a caller passed; the texts and the host exception kinds live here.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ostrel::core::optimisation {

// TypeError "<what> must be a VariableSeries, got <type>".
[[noreturn]] void not_variable_series(std::string_view what, std::string_view type_name);
// TypeError "<function>() takes constraint series, got <type>".
[[noreturn]] void takes_constraint_series(std::string_view function, std::string_view type_name);
// TypeError "ConstraintTerm takes 2 fields (coef, factor), got <n>".
[[noreturn]] void constraint_term_fields(size_t given);
// TypeError: a coefficient may not be a variable series.
[[noreturn]] void variable_coefficient();
// TypeError naming the accepted forms of a group term.
[[noreturn]] void group_term_type(std::string_view type_name);
// TypeError "<function>() takes from <lo> to <hi> positional arguments but <n> were given".
void check_positional_count(std::string_view function, size_t lo, size_t hi, size_t given);
// ValueError "array must be int64, got <dtype>" for group labels of a non-integer dtype.
[[noreturn]] void labels_not_integer(std::string_view dtype);

// Positions into a sequence of n elements: negative ones count from the end; IndexError
// "index <p> is out of bounds for axis 0 with size <n>" for any outside [-n, n).
std::vector<std::int64_t> normalise_positions(std::span<const std::int64_t> positions, size_t n);
// IndexError unless a boolean index has the sequence's length n.
void check_mask_length(size_t n, size_t mask_length);

// A Mask's input that is neither variables nor a series: AssertionError "input has no index"
// (ValueError when assertions are off).
[[noreturn]] void input_without_index();
// ValueError "Mask replacement must have as many entries as the input" when variable operands
// have `entries` each and the input has `steps`.
void check_replacement_length(bool any_variable, size_t entries, size_t steps);

// ValueError "condition mask has <flags> elements for <steps> steps" unless they agree.
void check_condition_mask_length(size_t flags, size_t steps);

// For each group number 0..G-1 of an allocation, the position of its first element; ValueError
// "group numbers must be >= 0" / "group numbers must be dense" otherwise.
std::vector<std::int64_t> first_positions(std::span<const std::int64_t> allocation);
// ValueError unless every one of `variables` variables received a group.
void check_every_variable_grouped(size_t grouped, size_t variables);

// A series operand's values at the variables' steps, paired by label as `compute` pairs
// them (its own order when its labels are the steps). ValueError "<name>: the series has no
// value at <instant>, a step of the variable operands" for a step it lacks, and for repeated
// labels.
std::vector<double> values_at_steps(std::span<const std::int64_t> labels,
                                    std::span<const double> values,
                                    std::span<const std::int64_t> steps, std::string_view name);

// ValueError unless the input variables' instants agree with `periods` position by position
// ("<block>: the input variables are not at the timeline's <resolution> periods: ..."); a
// different count is left to the compiler's own check.
void check_steps_on_periods(std::span<const std::int64_t> instants,
                            std::span<const std::int64_t> periods, std::string_view block,
                            std::string_view resolution);

// 0, 1, ..., n-1: each element its own group.
std::vector<std::int64_t> own_groups(size_t n);

}  // namespace ostrel::core::optimisation
