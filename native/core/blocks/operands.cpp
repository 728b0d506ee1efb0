#include "core/blocks/operands.hpp"

#include <algorithm>
#include <string>

#include "core/common/errors.hpp"
#include "core/common/text.hpp"

namespace ostrel::core::blocks {

namespace {

template <typename T>
std::vector<T> distinct(std::span<const T> values) {
  std::vector<T> out;
  for (T v : values)
    if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
  return out;
}

template <typename T>
void assert_single(std::span<const T> values, const char* prefix) {
  if (!assertions_enabled()) return;
  const std::vector<T> seen = distinct(values);
  if (seen.size() <= 1) return;
  std::vector<std::string> texts;
  texts.reserve(seen.size());
  for (T v : seen) texts.emplace_back(domain::value_of(v));
  assertion_error(prefix + repr_list(texts));
}

}  // namespace

void assert_units_match(std::span<const Unit> units) {
  assert_single(units, "All units must match, got ");
}

void assert_units_match(std::span<const OperandInfo> items) {
  std::vector<Unit> units;
  units.reserve(items.size());
  for (const auto& item : items) units.push_back(item.unit);
  assert_units_match(std::span<const Unit>(units));
}

void assert_resolutions_match(std::span<const Resolution> resolutions) {
  assert_single(resolutions, "All Dataset resolutions must match, got ");
}

void assert_resolutions_match(std::span<const OperandInfo> items) {
  std::vector<Resolution> resolutions;
  resolutions.reserve(items.size());
  for (const auto& item : items)
    if (item.resolution) resolutions.push_back(*item.resolution);
  assert_resolutions_match(std::span<const Resolution>(resolutions));
}

std::string listed_operand_name(std::size_t k) { return "input_" + std::to_string(k); }

}  // namespace ostrel::core::blocks
