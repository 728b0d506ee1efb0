#include "core/blocks/units_algebra.hpp"

namespace ostrel::core::blocks {

using domain::Unit;

std::optional<Unit> product_unit(Unit a, Unit b) {
  // A pair of equal units is a single unit, never a product in the table.
  if (a == b) return std::nullopt;
  auto is_pair = [&](Unit x, Unit y) { return (a == x && b == y) || (a == y && b == x); };
  if (is_pair(Unit::KW, Unit::HOURS)) return Unit::KWH;
  for (Unit currency : domain::kCurrencies) {
    auto [energy_rate, power_rate] = domain::currency_units(currency);
    if (is_pair(Unit::KWH, energy_rate) || is_pair(Unit::KW, power_rate)) return currency;
  }
  return std::nullopt;
}

std::optional<Unit> quotient_unit(Unit numerator, Unit denominator) {
  if (numerator == Unit::KW && denominator == Unit::KW) return Unit::PERCENT;
  if (numerator == Unit::KWH && denominator == Unit::HOURS) return Unit::KW;
  if (numerator == Unit::KWH && denominator == Unit::KW) return Unit::HOURS;
  return std::nullopt;
}

}  // namespace ostrel::core::blocks
