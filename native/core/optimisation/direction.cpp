#include "core/optimisation/direction.hpp"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace ostrel::core::optimisation {

Sign sign_of(std::span<const double> values) {
  Sign s;
  for (double v : values) {
    s.positive |= v > 0;  // NaN compares false both ways
    s.negative |= v < 0;
  }
  return s;
}

namespace {

// What the run knows of a dataset before compiling: whether it depends on a variable, and the
// sign of its values when it does not.
struct Known {
  bool is_variable = false;
  Sign sign;
};

using Table = std::map<std::string, Known>;

std::optional<Known> operand(const Table& known, const DirectionOperand& o) {
  if (!o.dataset_id) return Known{false, Sign::of(o.value)};
  const auto it = known.find(*o.dataset_id);
  if (it == known.end()) return std::nullopt;
  return it->second;
}

const DirectionOperand* role(const DirectionStep& s, const char* name) {
  for (const DirectionOperand& o : s.operands)
    if (o.role == name) return &o;
  return nullptr;
}

// The sign of a step's values from its operands' (used where no operand is a variable, and as
// the factor a variable is multiplied by).
Sign value_sign(const DirectionStep& s, const std::vector<Known>& ops) {
  Sign out;
  if (s.type == "subtract") return ops.size() == 2 ? ops[0].sign + -ops[1].sign : Sign::unknown();
  if (s.type == "multiply" || s.type == "divide") {
    if (ops.size() != 2) return Sign::unknown();
    return ops[0].sign * ops[1].sign;  // 1/d has the sign of d
  }
  if (s.type == "lookup") {
    for (double l : s.levels) out = out + Sign::of(l);
    return out;
  }
  // Sums, reductions, carried and selected values, and what a mask or a clip picks among its
  // operands: within the signs of the operands together.
  for (const Known& k : ops) out = out + k.sign;
  return out;
}

// How the step's output moves with one of its operands (index j), or nothing when that cannot
// be told (a product of two variables is refused by its compile anyway).
std::optional<Sign> local_sign(const DirectionStep& s, const std::vector<Known>& ops, size_t j) {
  const std::string& t = s.type;
  if (t == "add" || t == "aggregate" || t == "resample" || t == "select" || t == "mask" ||
      t == "clip")
    return Sign{true, false};
  if (t == "subtract") return s.operands[j].role == "right" ? Sign{false, true} : Sign{true, false};
  if (t == "multiply" || t == "divide") {
    if (ops.size() != 2) return std::nullopt;
    if (t == "divide" && s.operands[j].role != "numerator") return std::nullopt;
    const Known& other = ops[1 - j];
    if (other.is_variable) return std::nullopt;
    return other.sign;
  }
  if (t == "lookup") {
    bool rises = false, falls = false;
    for (size_t k = 1; k < s.levels.size(); ++k) {
      rises |= s.levels[k] > s.levels[k - 1];
      falls |= s.levels[k] < s.levels[k - 1];
    }
    return Sign{rises, falls};
  }
  return std::nullopt;
}

// Whether the step's linear form is exact when its output moves the cost with sign `d`.
bool linear_form_exact(const DirectionStep& s, Sign d) {
  // A maximum's rows bound it from below only: exact when the cost never falls as it rises.
  const bool for_max = !d.negative, for_min = !d.positive;
  if (s.type == "aggregate") {
    if (s.aggregation == "max") return for_max;
    if (s.aggregation == "min") return for_min;
    return true;
  }
  if (s.type == "select") {
    if (s.value_condition == "highest") return for_max;
    if (s.value_condition == "lowest") return for_min;
    return true;
  }
  if (s.type == "clip") {
    const bool lower = role(s, "minimum") != nullptr, upper = role(s, "maximum") != nullptr;
    // Both: the lower clip's output feeds the upper one with the same sign, which cannot
    // suit both unless the cost does not depend on it.
    return (!lower || for_max) && (!upper || for_min);
  }
  return true;
}

}  // namespace

bool convex_when_minimised(std::span<const DirectionStep> steps,
                           std::span<const DirectionInput> inputs, const std::string& cost_id) {
  Table known;
  for (const DirectionInput& in : inputs) known[in.id] = Known{in.is_variable, in.sign};
  // Forward: which outputs depend on variables, and the signs of the others.
  std::vector<std::vector<Known>> operands(steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    const DirectionStep& s = steps[i];
    Known out;
    for (const DirectionOperand& o : s.operands) {
      const std::optional<Known> k = operand(known, o);
      if (!k) return false;
      operands[i].push_back(*k);
      out.is_variable |= k->is_variable;
    }
    out.sign = value_sign(s, operands[i]);
    known[s.output_id] = out;
  }
  // Backward from the cost: how the cost moves with each dataset, over every path. Steps read
  // only earlier outputs, so a step's output is complete when the step is reached.
  std::map<std::string, Sign> moves;
  moves[cost_id] = Sign{true, false};
  for (size_t i = steps.size(); i-- > 0;) {
    const DirectionStep& s = steps[i];
    if (!known[s.output_id].is_variable) continue;
    const Sign d = moves[s.output_id];
    if (!linear_form_exact(s, d)) return false;
    for (size_t j = 0; j < s.operands.size(); ++j) {
      if (!operands[i][j].is_variable) continue;
      const std::optional<Sign> l = local_sign(s, operands[i], j);
      if (!l) return false;
      Sign& m = moves[*s.operands[j].dataset_id];
      m = m + d * *l;
    }
  }
  return true;
}

}  // namespace ostrel::core::optimisation
