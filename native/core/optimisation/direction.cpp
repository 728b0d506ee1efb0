#include "core/optimisation/direction.hpp"

#include <cstddef>
#include <optional>
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

using pipeline::Operand;
using pipeline::Step;
using pipeline::StepKind;

// What the run knows of a dataset before compiling: whether it depends on a variable, and the
// sign of its values when it does not.
struct Known {
  bool is_variable = false;
  Sign sign;
};

// The operands of a step as known, in the step's order; an absent one (an unset clip bound) as
// nothing.
using Operands = std::vector<std::optional<Known>>;

// The sign of a step's values from its operands' (used where no operand is a variable, and as
// the factor a variable is multiplied by).
Sign value_sign(const DirectionStep& d, const Operands& ops) {
  const Step& s = d.step;
  Sign out;
  if (d.known && s.kind == StepKind::Constant) return Sign::of(s.value);
  if (d.known && s.kind == StepKind::Arithmetic && s.op != blocks::Arith::Add) {
    if (ops.size() != 2 || !ops[0] || !ops[1]) return Sign::unknown();
    if (s.op == blocks::Arith::Subtract) return ops[0]->sign + -ops[1]->sign;
    return ops[0]->sign * ops[1]->sign;  // 1/d has the sign of d
  }
  if (d.known && s.kind == StepKind::Lookup) {
    for (double l : s.levels) out = out + Sign::of(l);
    return out;
  }
  // Sums, reductions, carried and selected values, and what a mask or a clip picks among its
  // operands: within the signs of the operands together.
  for (const std::optional<Known>& k : ops)
    if (k) out = out + k->sign;
  return out;
}

// How the step's output moves with its operand j, or nothing when that cannot be told (a
// product of two variables is refused by its compile anyway).
std::optional<Sign> local_sign(const DirectionStep& d, const Operands& ops, size_t j) {
  const Step& s = d.step;
  if (!d.known || s.kind == StepKind::Constant) return std::nullopt;
  if (s.kind == StepKind::Lookup) {
    bool rises = false, falls = false;
    for (size_t k = 1; k < s.levels.size(); ++k) {
      rises |= s.levels[k] > s.levels[k - 1];
      falls |= s.levels[k] < s.levels[k - 1];
    }
    return Sign{rises, falls};
  }
  if (s.kind != StepKind::Arithmetic || s.op == blocks::Arith::Add) return Sign{true, false};
  if (s.op == blocks::Arith::Subtract) return j == 1 ? Sign{false, true} : Sign{true, false};
  // Multiply and Divide: the other factor's sign, by a variable numerator only.
  if (ops.size() != 2 || !ops[1 - j] || (s.op == blocks::Arith::Divide && j != 0))
    return std::nullopt;
  const Known& other = *ops[1 - j];
  if (other.is_variable) return std::nullopt;
  return other.sign;
}

// Whether the step's linear form is exact when its output moves the cost with sign `d`.
bool linear_form_exact(const DirectionStep& step, Sign d) {
  if (!step.known) return true;
  const Step& s = step.step;
  // A maximum's rows bound it from below only: exact when the cost never falls as it rises.
  const bool for_max = !d.negative, for_min = !d.positive;
  switch (s.kind) {
    case StepKind::Aggregate:
      if (s.aggregation == blocks::Aggregation::Max) return for_max;
      if (s.aggregation == blocks::Aggregation::Min) return for_min;
      return true;
    case StepKind::Extremes:
      return s.highest ? for_max : for_min;
    case StepKind::Clip: {
      auto present = [&](size_t k) {
        return s.operands.size() > k && s.operands[k].kind != Operand::Kind::None;
      };
      // Both: the lower clip's output feeds the upper one with the same sign, which cannot
      // suit both unless the cost does not depend on it.
      return (!present(1) || for_max) && (!present(2) || for_min);
    }
    default:
      return true;
  }
}

}  // namespace

bool convex_when_minimised(std::span<const DirectionStep> steps,
                           std::span<const DirectionInput> inputs, std::size_t slots,
                           std::size_t cost) {
  std::vector<std::optional<Known>> known(slots);
  for (const DirectionInput& in : inputs) known.at(in.slot) = Known{in.is_variable, in.sign};
  // Forward: which outputs depend on variables, and the signs of the others.
  std::vector<Operands> operands(steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i].step;
    Known out;
    for (const Operand& o : s.operands) {
      std::optional<Known> k;
      if (o.kind == Operand::Kind::Number) k = Known{false, Sign::of(o.number)};
      if (o.kind == Operand::Kind::Slot && !(k = known.at(o.slot))) return false;
      operands[i].push_back(k);
      out.is_variable |= k && k->is_variable;
    }
    out.sign = value_sign(steps[i], operands[i]);
    known.at(s.output) = out;
  }
  // Backward from the cost: how the cost moves with each dataset, over every path. Steps read
  // only earlier outputs, so a step's output is complete when the step is reached.
  std::vector<Sign> moves(slots);
  moves.at(cost) = Sign{true, false};
  for (size_t i = steps.size(); i-- > 0;) {
    const Step& s = steps[i].step;
    if (!known[s.output]->is_variable) continue;
    const Sign d = moves[s.output];
    if (!linear_form_exact(steps[i], d)) return false;
    for (size_t j = 0; j < s.operands.size(); ++j) {
      if (!operands[i][j] || !operands[i][j]->is_variable) continue;
      const std::optional<Sign> l = local_sign(steps[i], operands[i], j);
      if (!l) return false;
      Sign& m = moves[s.operands[j].slot];
      m = m + d * *l;
    }
  }
  return true;
}

}  // namespace ostrel::core::optimisation
