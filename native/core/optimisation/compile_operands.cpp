#include "core/optimisation/compile_operands.hpp"

#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"

namespace ostrel::core::optimisation {

Operand read_operand(const Given& g, const Steps& steps, std::string_view name,
                     std::vector<std::vector<double>>& kept) {
  switch (g.kind) {
    case Given::Kind::Absent:
      return Operand::of(PerStep::of(0.0));
    case Given::Kind::Variables:
      if (g.variables->size() != steps.n)
        value_error("every VariableSeries operand must have as many entries as the first");
      return Operand::of(*g.variables);
    case Given::Kind::Series:
      kept.push_back(values_at_steps(g.labels, g.series, steps.labels, name));
      return Operand::of(PerStep::of(std::span<const double>(kept.back())));
    case Given::Kind::Values:
      break;
  }
  return Operand::of(g.values);
}

}  // namespace ostrel::core::optimisation
