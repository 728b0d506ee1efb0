#include "bindings/_engine/pipeline/plan.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "core/blocks/catalogue.hpp"
#include "core/domain/units.hpp"

namespace ostrel::bindings::engine {

namespace pl = core::pipeline;
namespace cb = core::blocks;

std::size_t PlanReader::slot_of(nb::handle dataset_id) {
  const std::string id = text_of(dataset_id);
  auto [it, fresh] = slots_.try_emplace(id, plan_.slots);
  if (fresh) {
    ++plan_.slots;
    ids_.push_back(nb::borrow(dataset_id));
  }
  return it->second;
}

pl::Operand PlanReader::operand(nb::handle o) {
  if (o.is_none()) return pl::Operand::none();
  if (is_instance(o, "Level")) return pl::Operand::of(nb::cast<double>(o.attr("value")));
  return pl::Operand::at(slot_of(o.attr("id")));
}

bool PlanReader::step(nb::handle f) {
  std::optional<pl::BlockStep> b = pl::block_step(text_of(f.attr("type")));
  if (!b) return false;
  pl::Step& s = b->step;
  const cb::BlockDeclaration& decl = *b->block;
  // The blocks that make new periods place them by their own resolution.
  s.resolution =
      to_resolution(b->own_resolution ? f.attr("resolution") : f.attr("output").attr("resolution"));
  if (!decl.operands_list.empty())
    for (nb::handle o : f.attr(decl.operands_list.data())) s.operands.push_back(operand(o));
  // The catalogue's names are literals: their views end where the text does.
  for (std::string_view name : decl.operands) s.operands.push_back(operand(f.attr(name.data())));
  // A block of one input reads it at the input's resolution.
  if (s.kind != pl::StepKind::Arithmetic && !decl.operands.empty())
    s.source = to_resolution(f.attr(decl.operands.front().data()).attr("resolution"));
  if (s.kind == pl::StepKind::Constant) {
    s.value = nb::cast<double>(f.attr("value").attr("value"));
  } else if (s.kind == pl::StepKind::Aggregate) {
    s.aggregation = cb::aggregation_of(text_of(f.attr("aggregation_function")));
  } else if (s.kind == pl::StepKind::Resample) {
    s.is_rate = core::domain::is_rate(to_unit(f.attr("input").attr("unit")));
  } else if (s.kind == pl::StepKind::Select || s.kind == pl::StepKind::Mask) {
    nb::object c = f.attr("condition");
    const bool highest = is_instance(c, "HighestCondition");
    if (highest || is_instance(c, "LowestCondition")) {
      s.kind = pl::StepKind::Extremes;
      s.highest = highest;
      s.n = nb::cast<int64_t>(c.attr("n"));
      s.period = to_resolution(c.attr("resolution"));
    } else if (t_) {
      s.condition = t_->core->match(time_condition(c), t_->holiday_list());
    }
  } else if (s.kind == pl::StepKind::Lookup) {
    for (nb::handle x : f.attr("boundaries")) s.boundaries.push_back(nb::cast<double>(x));
    for (nb::handle l : f.attr("levels")) s.levels.push_back(nb::cast<double>(l));
  }
  s.output = slot_of(f.attr("output").attr("id"));
  plan_.steps.push_back(std::move(s));
  return true;
}

bool is_block_record(nb::handle f) {
  // The record classes, read once: the module keeps them for as long as it lives.
  static const std::vector<PyObject*> records = [] {
    std::vector<PyObject*> out;
    for (const cb::BlockDeclaration& decl : cb::block_catalogue())
      out.push_back(engine::attr(decl.record.name.data()).ptr());
    return out;
  }();
  return std::find(records.begin(), records.end(), f.type().ptr()) != records.end();
}

}  // namespace ostrel::bindings::engine
