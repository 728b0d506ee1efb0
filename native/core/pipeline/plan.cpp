#include "core/pipeline/plan.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace ostrel::core::pipeline {

namespace {

struct KindOf {
  std::string_view tag;
  StepKind kind;
  Arith op = Arith::Add;
};

// The step each block of the catalogue runs as, by the block's tag.
constexpr std::array<KindOf, blocks::kBlockCount> kKinds{{
    {"constant", StepKind::Constant},
    {"add", StepKind::Arithmetic, Arith::Add},
    {"subtract", StepKind::Arithmetic, Arith::Subtract},
    {"divide", StepKind::Arithmetic, Arith::Divide},
    {"multiply", StepKind::Arithmetic, Arith::Multiply},
    {"aggregate", StepKind::Aggregate},
    {"resample", StepKind::Resample},
    {"select", StepKind::Select},
    {"mask", StepKind::Mask},
    {"clip", StepKind::Clip},
    {"lookup", StepKind::Lookup},
}};

}  // namespace

std::optional<BlockStep> block_step(std::string_view tag) {
  const auto kind =
      std::find_if(kKinds.begin(), kKinds.end(), [tag](const KindOf& k) { return k.tag == tag; });
  if (kind == kKinds.end()) return std::nullopt;
  for (const blocks::BlockDeclaration& decl : blocks::block_catalogue()) {
    if (decl.record.tag != tag) continue;
    BlockStep b;
    b.block = &decl;
    b.step.kind = kind->kind;
    b.step.op = kind->op;
    b.step.block = decl.record.name.data();  // a literal: its view ends where the text does
    for (const domain::FieldDeclaration& f : decl.record.fields)
      b.own_resolution |= f.name == "resolution";
    return b;
  }
  return std::nullopt;
}

}  // namespace ostrel::core::pipeline
