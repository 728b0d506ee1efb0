#pragma once
// The function blocks the engine knows, in the order of the Function union: each one's record
// (tag, description, fields between `type` and `output`), its operands and the texts of its
// compute and compile methods.
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/domain/records.hpp"

namespace ostrel::core::blocks {

struct BlockDeclaration {
  domain::RecordDeclaration record;
  // input_operands(): the named fields in order, or, when `operands_list` is set, the items of
  // that list field as input_0, input_1, ...
  std::vector<std::string_view> operands;
  std::string_view operands_list = {};
  std::string_view compute_doc = {};
  std::string_view compile_doc = {};
};

inline constexpr std::size_t kBlockCount = 11;
std::span<const BlockDeclaration> block_catalogue();

// What an operand of `name` takes, as its argument error says: any operand of an arithmetic
// block, and a level's number or a dataset's series (or None where optional) elsewhere.
const char* operand_takes(const BlockDeclaration& b, std::string_view name, bool arithmetic);
// The block's optional fields (None by default), in the record's order.
std::vector<std::string_view> optional_fields(const BlockDeclaration& b);

}  // namespace ostrel::core::blocks
