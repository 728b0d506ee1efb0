#include "core/pipeline/plan.hpp"

#include <array>

namespace ostrel::core::pipeline {

namespace {

struct KindOf {
  StepKind kind;
  Arith op = Arith::Add;
};

// In the catalogue's order.
constexpr std::array<KindOf, blocks::kBlockCount> kKinds{{
    {StepKind::Constant},
    {StepKind::Arithmetic, Arith::Add},
    {StepKind::Arithmetic, Arith::Subtract},
    {StepKind::Arithmetic, Arith::Divide},
    {StepKind::Arithmetic, Arith::Multiply},
    {StepKind::Aggregate},
    {StepKind::Resample},
    {StepKind::Select},
    {StepKind::Mask},
    {StepKind::Clip},
    {StepKind::Lookup},
}};

}  // namespace

std::optional<BlockStep> block_step(std::string_view tag) {
  const auto catalogue = blocks::block_catalogue();
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    const blocks::BlockDeclaration& decl = catalogue[i];
    if (decl.record.tag != tag) continue;
    BlockStep b;
    b.block = &decl;
    b.step.kind = kKinds[i].kind;
    b.step.op = kKinds[i].op;
    b.step.block = decl.record.name.data();  // a literal: its view ends where the text does
    for (const domain::FieldDeclaration& f : decl.record.fields)
      b.own_resolution |= f.name == "resolution";
    return b;
  }
  return std::nullopt;
}

}  // namespace ostrel::core::pipeline
