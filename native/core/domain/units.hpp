#pragma once
// The vocabularies of units and resolutions, and their groupings.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel::core::domain {

enum class Unit : std::uint8_t {
  A,
  KV,
  KW,
  KWH,
  HOURS,
  SEK,
  NOK,
  EUR,
  SEK_PER_KWH,
  SEK_PER_KW,
  NOK_PER_KWH,
  NOK_PER_KW,
  EUR_PER_KWH,
  EUR_PER_KW,
  PERCENT,
  // Appended so that the members above keep their positions.
  USD,
  GBP,
  DKK,
  USD_PER_KWH,
  USD_PER_KW,
  GBP_PER_KWH,
  GBP_PER_KW,
  DKK_PER_KWH,
  DKK_PER_KW,
};
inline constexpr int kUnitCount = 24;

struct UnitInfo {
  std::string_view name;
  std::string_view value;
};

inline constexpr std::array<UnitInfo, kUnitCount> kUnits{{
    {"A", "A"},
    {"KV", "kV"},
    {"KW", "kW"},
    {"KWH", "kWh"},
    {"HOURS", "hours"},
    {"SEK", "SEK"},
    {"NOK", "NOK"},
    {"EUR", "EUR"},
    {"SEK_PER_KWH", "SEK_per_kWh"},
    {"SEK_PER_KW", "SEK_per_kW"},
    {"NOK_PER_KWH", "NOK_per_kWh"},
    {"NOK_PER_KW", "NOK_per_kW"},
    {"EUR_PER_KWH", "EUR_per_kWh"},
    {"EUR_PER_KW", "EUR_per_kW"},
    {"PERCENT", "%"},
    {"USD", "USD"},
    {"GBP", "GBP"},
    {"DKK", "DKK"},
    {"USD_PER_KWH", "USD_per_kWh"},
    {"USD_PER_KW", "USD_per_kW"},
    {"GBP_PER_KWH", "GBP_per_kWh"},
    {"GBP_PER_KW", "GBP_per_kW"},
    {"DKK_PER_KWH", "DKK_per_kWh"},
    {"DKK_PER_KW", "DKK_per_kW"},
}};

// Parallel arrays: the i-th currency's energy and power rates are the i-th of the other two.
inline constexpr std::array<Unit, 6> kCurrencies{Unit::SEK, Unit::NOK, Unit::EUR,
                                                 Unit::USD, Unit::GBP, Unit::DKK};
inline constexpr std::array<Unit, 6> kEnergyRates{Unit::SEK_PER_KWH, Unit::NOK_PER_KWH,
                                                  Unit::EUR_PER_KWH, Unit::USD_PER_KWH,
                                                  Unit::GBP_PER_KWH, Unit::DKK_PER_KWH};
inline constexpr std::array<Unit, 6> kPowerRates{Unit::SEK_PER_KW, Unit::NOK_PER_KW,
                                                 Unit::EUR_PER_KW, Unit::USD_PER_KW,
                                                 Unit::GBP_PER_KW, Unit::DKK_PER_KW};

std::string_view value_of(Unit u);
std::optional<Unit> unit_from_value(std::string_view value);
// The unit of a value; ValueError "'<value>' is not a valid Unit" for any other text.
Unit parse_unit(std::string_view value);
bool is_currency(Unit u);
bool is_amount(Unit u);
bool is_rate(Unit u);
// (energy rate, power rate) of a currency: SEK -> (SEK_per_kWh, SEK_per_kW).
std::pair<Unit, Unit> currency_units(Unit currency);

enum class Resolution : std::uint8_t { QUARTER_HOURLY, HOURLY, DAILY, WEEKLY, MONTHLY, YEARLY };
inline constexpr int kResolutionCount = 6;

struct ResolutionInfo {
  std::string_view name;
  std::string_view value;
  std::string_view step_unit;  // the calendar step as a relativedelta keyword
  int step_amount;
};

inline constexpr std::array<ResolutionInfo, kResolutionCount> kResolutions{{
    {"QUARTER_HOURLY", "quarter_hourly", "minutes", 15},
    {"HOURLY", "hourly", "hours", 1},
    {"DAILY", "daily", "days", 1},
    {"WEEKLY", "weekly", "weeks", 1},
    {"MONTHLY", "monthly", "months", 1},
    {"YEARLY", "yearly", "years", 1},
}};

std::string_view value_of(Resolution r);
std::optional<Resolution> resolution_from_value(std::string_view value);
// The resolution of a value; ValueError "'<value>' is not a valid Resolution" otherwise.
Resolution parse_resolution(std::string_view value);
// Assertion "<lo> >= <hi>" unless a range's minimum lies below its maximum.
void check_range(double lo, double hi);
inline int index_of(Resolution r) { return static_cast<int>(r); }

}  // namespace ostrel::core::domain
