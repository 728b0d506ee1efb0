#pragma once
// Which unit a product or a quotient of two units has. Only the combinations a tariff needs
// are known: energy from power and duration, money from energy or power and their rates, and
// shares from like quantities.
#include <optional>

#include "core/domain/units.hpp"

namespace ostrel::core::blocks {

// The unordered product table: {kW, hours} -> kWh, {kWh, C_per_kWh} -> C, {kW, C_per_kW} -> C.
// "%" is not in the table (a share keeps the other factor's unit; see validate_multiply).
std::optional<domain::Unit> product_unit(domain::Unit a, domain::Unit b);

// The ordered quotient table: kW / kW -> %, kWh / hours -> kW, kWh / kW -> hours.
std::optional<domain::Unit> quotient_unit(domain::Unit numerator, domain::Unit denominator);

}  // namespace ostrel::core::blocks
