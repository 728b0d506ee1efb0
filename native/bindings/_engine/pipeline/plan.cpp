#include "bindings/_engine/pipeline/plan.hpp"

#include <initializer_list>
#include <utility>

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
  const std::string type = text_of(f.attr("type"));
  pl::Step s;
  s.resolution = to_resolution(f.attr("output").attr("resolution"));
  auto input = [&](const char* name) {
    nb::object in = f.attr(name);
    s.source = to_resolution(in.attr("resolution"));
    s.operands.push_back(operand(in));
  };
  auto arithmetic = [&](cb::Arith op, const char* block, std::initializer_list<const char*> n) {
    s.kind = pl::StepKind::Arithmetic;
    s.op = op;
    s.block = block;
    for (const char* name : n) s.operands.push_back(operand(f.attr(name)));
  };
  // The blocks that make new periods place them by their own resolution.
  auto own_resolution = [&] { s.resolution = to_resolution(f.attr("resolution")); };
  if (type == "constant") {
    s.kind = pl::StepKind::Constant;
    own_resolution();
    s.value = nb::cast<double>(f.attr("value").attr("value"));
  } else if (type == "add") {
    s.kind = pl::StepKind::Arithmetic;
    s.block = "Add";
    for (nb::handle o : f.attr("inputs")) s.operands.push_back(operand(o));
  } else if (type == "subtract") {
    arithmetic(cb::Arith::Subtract, "Subtract", {"left", "right"});
  } else if (type == "multiply") {
    arithmetic(cb::Arith::Multiply, "Multiply", {"left", "right"});
  } else if (type == "divide") {
    arithmetic(cb::Arith::Divide, "Divide", {"numerator", "denominator"});
  } else if (type == "aggregate") {
    input("input");
    own_resolution();
    s.kind = pl::StepKind::Aggregate;
    s.aggregation = cb::aggregation_of(text_of(f.attr("aggregation_function")));
  } else if (type == "resample") {
    input("input");
    own_resolution();
    s.kind = pl::StepKind::Resample;
    s.is_rate = core::domain::is_rate(to_unit(f.attr("input").attr("unit")));
  } else if (type == "select" || type == "mask") {
    input("input");
    nb::object c = f.attr("condition");
    const bool highest = is_instance(c, "HighestCondition");
    if (highest || is_instance(c, "LowestCondition")) {
      s.kind = pl::StepKind::Extremes;
      s.highest = highest;
      s.n = nb::cast<int64_t>(c.attr("n"));
      s.period = to_resolution(c.attr("resolution"));
    } else {
      s.kind = type == "select" ? pl::StepKind::Select : pl::StepKind::Mask;
      if (t_) s.condition = t_->core->match(time_condition(c), t_->holiday_list());
    }
    if (type == "mask") s.operands.push_back(operand(f.attr("replacement")));
  } else if (type == "clip") {
    input("input");
    s.kind = pl::StepKind::Clip;
    s.operands.push_back(operand(f.attr("minimum")));
    s.operands.push_back(operand(f.attr("maximum")));
  } else if (type == "lookup") {
    input("tier_selector");
    s.kind = pl::StepKind::Lookup;
    for (nb::handle b : f.attr("boundaries")) s.boundaries.push_back(nb::cast<double>(b));
    for (nb::handle l : f.attr("levels")) s.levels.push_back(nb::cast<double>(l));
  } else {
    return false;
  }
  s.output = slot_of(f.attr("output").attr("id"));
  plan_.steps.push_back(std::move(s));
  return true;
}

bool is_block_record(nb::handle f) {
  for (const cb::BlockDeclaration& decl : cb::block_catalogue())
    if (f.type().is(engine::attr(decl.record.name.data()))) return true;
  return false;
}

}  // namespace ostrel::bindings::engine
