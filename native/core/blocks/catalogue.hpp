#pragma once
// The function blocks the engine knows, in the order of the Function union: each one's record
// (tag, description, fields between `type` and `output`) and its operands.
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/domain/records.hpp"

namespace ostrel::core::blocks {

struct BlockSpec {
  domain::RecordSpec record;
  // input_operands(): the named fields in order, or, when `operands_list` is set, the items of
  // that list field as input_0, input_1, ...
  std::vector<std::string_view> operands;
  std::string_view operands_list = {};
};

inline constexpr std::size_t kBlockCount = 11;
std::span<const BlockSpec> block_catalogue();

}  // namespace ostrel::core::blocks
