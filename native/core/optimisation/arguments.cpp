#include "core/optimisation/arguments.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <unordered_map>

#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::optimisation {

void not_variable_series(std::string_view what, std::string_view type_name) {
  fail(ErrorKind::Type, concat(what, " must be a VariableSeries, got ", type_name));
}

void takes_constraint_series(std::string_view function, std::string_view type_name) {
  fail(ErrorKind::Type, concat(function, "() takes constraint series, got ", type_name));
}

void constraint_term_fields(size_t given) {
  fail(ErrorKind::Type,
       "ConstraintTerm takes 2 fields (coef, factor), got " + std::to_string(given));
}

void variable_coefficient() {
  fail(ErrorKind::Type,
       "a coefficient must be a number, an array or a series, not a VariableSeries");
}

void group_term_type(std::string_view type_name) {
  std::string message =
      "a group term is a GroupTerm, (coef, variables, allocation) or (variables, allocation), "
      "got ";
  message += type_name;
  fail(ErrorKind::Type, message);
}

void check_positional_count(std::string_view function, size_t lo, size_t hi, size_t given) {
  if (given >= lo && given <= hi) return;
  fail(ErrorKind::Type,
       concat(function, "() takes from " + std::to_string(lo) + " to " + std::to_string(hi) +
                            " positional arguments but " + std::to_string(given) + " were given"));
}

void labels_not_integer(std::string_view dtype) {
  value_error(concat("array must be int64, got ", dtype));
}

std::vector<std::int64_t> normalise_positions(std::span<const std::int64_t> positions, size_t n) {
  std::vector<std::int64_t> out(positions.begin(), positions.end());
  const auto size = static_cast<std::int64_t>(n);
  for (std::int64_t& p : out) {
    if (p < -size || p >= size)
      fail(ErrorKind::Index, "index " + std::to_string(p) +
                                 " is out of bounds for axis 0 with size " + std::to_string(n));
    if (p < 0) p += size;
  }
  return out;
}

void check_mask_length(size_t n, size_t mask_length) {
  if (mask_length == n) return;
  fail(ErrorKind::Index,
       "boolean index did not match indexed array along axis 0; size of axis is " +
           std::to_string(n) + " but size of corresponding boolean axis is " +
           std::to_string(mask_length));
}

void input_without_index() {
  check(false, "input has no index");
  value_error("input has no index");
}

void check_replacement_length(bool any_variable, size_t entries, size_t steps) {
  if (any_variable && entries != steps)
    value_error("Mask replacement must have as many entries as the input");
}

void check_condition_mask_length(size_t flags, size_t steps) {
  if (flags != steps)
    value_error("condition mask has " + std::to_string(flags) + " elements for " +
                std::to_string(steps) + " steps");
}

std::vector<std::int64_t> first_positions(std::span<const std::int64_t> allocation) {
  std::int64_t groups = 0;
  for (std::int64_t g : allocation) {
    if (g < 0) value_error("group numbers must be >= 0");
    groups = std::max(groups, g + 1);
  }
  // More groups than elements cannot be dense; refused before anything is allocated for them.
  if (static_cast<std::uint64_t>(groups) > allocation.size())
    value_error("group numbers must be dense");
  std::vector<std::int64_t> first(static_cast<size_t>(groups), -1);
  for (size_t i = 0; i < allocation.size(); ++i) {
    const std::int64_t g = allocation[i];
    if (g < 0) value_error("group numbers must be >= 0");
    if (first[static_cast<size_t>(g)] < 0)
      first[static_cast<size_t>(g)] = static_cast<std::int64_t>(i);
  }
  for (std::int64_t f : first)
    if (f < 0) value_error("group numbers must be dense");
  return first;
}

void check_every_variable_grouped(size_t grouped, size_t variables) {
  if (grouped != variables) value_error("every variable must fall in a period of the timeline");
}

std::vector<std::int64_t> own_groups(size_t n) {
  std::vector<std::int64_t> out(n);
  std::iota(out.begin(), out.end(), std::int64_t{0});
  return out;
}

std::vector<double> values_at_steps(std::span<const std::int64_t> labels,
                                    std::span<const double> values,
                                    std::span<const std::int64_t> steps, std::string_view name) {
  if (std::equal(labels.begin(), labels.end(), steps.begin(), steps.end()))
    return std::vector<double>(values.begin(), values.end());
  std::unordered_map<std::int64_t, size_t> at;
  at.reserve(labels.size());
  for (size_t i = 0; i < labels.size(); ++i)
    if (!at.emplace(labels[i], i).second)
      value_error(std::string(name) + ": the series repeats the label " +
                  timeline::utc_text(labels[i]));
  std::vector<double> out(steps.size());
  for (size_t k = 0; k < steps.size(); ++k) {
    const auto found = at.find(steps[k]);
    if (found == at.end())
      value_error(std::string(name) + ": the series has no value at " +
                  timeline::utc_text(steps[k]) + ", a step of the variable operands");
    out[k] = values[found->second];
  }
  return out;
}

void check_steps_on_periods(std::span<const std::int64_t> instants,
                            std::span<const std::int64_t> periods, std::string_view block,
                            std::string_view resolution) {
  timeline::check_variables_at(instants, periods,
                               std::string(block) + ": the input variables are not at the " +
                                   "timeline's " + std::string(resolution) + " periods",
                               "timeline");
}

}  // namespace ostrel::core::optimisation
