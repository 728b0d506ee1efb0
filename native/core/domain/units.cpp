#include "core/domain/units.hpp"

#include <algorithm>
#include <string>

#include "core/common/errors.hpp"
#include "core/common/text.hpp"

namespace ostrel::core::domain {

std::string_view value_of(Unit u) { return kUnits[static_cast<size_t>(u)].value; }

std::optional<Unit> unit_from_value(std::string_view value) {
  for (int i = 0; i < kUnitCount; ++i)
    if (kUnits[i].value == value) return static_cast<Unit>(i);
  return std::nullopt;
}

Unit parse_unit(std::string_view value) {
  if (auto u = unit_from_value(value)) return *u;
  value_error(concat("'", value, "' is not a valid Unit"));
}

Resolution parse_resolution(std::string_view value) {
  if (auto r = resolution_from_value(value)) return *r;
  value_error(concat("'", value, "' is not a valid Resolution"));
}

void check_range(double lo, double hi) { check(lo < hi, repr_float(lo) + " >= " + repr_float(hi)); }

bool is_currency(Unit u) {
  return std::find(kCurrencies.begin(), kCurrencies.end(), u) != kCurrencies.end();
}

bool is_amount(Unit u) { return is_currency(u) || u == Unit::KWH || u == Unit::HOURS; }

bool is_rate(Unit u) {
  const bool rate_unit =
      std::find(kEnergyRates.begin(), kEnergyRates.end(), u) != kEnergyRates.end() ||
      std::find(kPowerRates.begin(), kPowerRates.end(), u) != kPowerRates.end();
  return rate_unit || u == Unit::KW || u == Unit::A || u == Unit::KV || u == Unit::PERCENT;
}

std::pair<Unit, Unit> currency_units(Unit currency) {
  for (size_t i = 0; i < kCurrencies.size(); ++i)
    if (kCurrencies[i] == currency) return {kEnergyRates[i], kPowerRates[i]};
  return {currency, currency};
}

std::string_view value_of(Resolution r) { return kResolutions[static_cast<size_t>(r)].value; }

std::optional<Resolution> resolution_from_value(std::string_view value) {
  for (int i = 0; i < kResolutionCount; ++i)
    if (kResolutions[i].value == value) return static_cast<Resolution>(i);
  return std::nullopt;
}

}  // namespace ostrel::core::domain
