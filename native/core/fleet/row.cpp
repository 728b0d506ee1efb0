#include "core/fleet/row.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/common/errors.hpp"

namespace ostrel::core::fleet {

namespace {

using blocks::Values;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <Arith op>
inline double apply(double a, double b) {
  if constexpr (op == Arith::Add) return a + b;
  if constexpr (op == Arith::Subtract) return a - b;
  if constexpr (op == Arith::Multiply) return a * b;
  return a / b;  // IEEE: x/0 is +-inf, 0/0 NaN
}

// An arithmetic step whose series share their labels, element by element into `out`: each
// element gets the very operations `blocks::fold` applies, in the same order (a leading run of
// numbers folded first), with the first two operands combined in one pass.
template <Arith op>
void fold_into(const Step& s, const std::vector<Slot>& slots, std::span<double> out) {
  std::size_t first = 0;
  double number = 0.0;
  while (s.operands[first].kind == Operand::Kind::Number) {
    number = first == 0 ? s.operands[first].number : apply<op>(number, s.operands[first].number);
    ++first;
  }
  const double* v0 = slots[s.operands[first].slot].view.data();
  const bool lead = first > 0;
  double* o = out.data();
  const std::size_t n = out.size();
  std::size_t next = first + 1;
  if (next < s.operands.size()) {
    const Operand& b = s.operands[next++];
    if (b.kind == Operand::Kind::Number) {
      const double x = b.number;
      for (std::size_t i = 0; i < n; ++i)
        o[i] = apply<op>(lead ? apply<op>(number, v0[i]) : v0[i], x);
    } else {
      const double* x = slots[b.slot].view.data();
      for (std::size_t i = 0; i < n; ++i)
        o[i] = apply<op>(lead ? apply<op>(number, v0[i]) : v0[i], x[i]);
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) o[i] = lead ? apply<op>(number, v0[i]) : v0[i];
  }
  for (; next < s.operands.size(); ++next) {
    const Operand& b = s.operands[next];
    if (b.kind == Operand::Kind::Number) {
      for (std::size_t i = 0; i < n; ++i) o[i] = apply<op>(o[i], b.number);
    } else {
      const double* x = slots[b.slot].view.data();
      for (std::size_t i = 0; i < n; ++i) o[i] = apply<op>(o[i], x[i]);
    }
  }
}

}  // namespace

Values compute(const Prepared& p, std::size_t k, const std::vector<Slot>& slots) {
  const Step& s = p.plan().steps[k];
  const timeline::Timeline& t = p.timeline();
  auto values = [&](std::size_t i) { return slots.at(s.operands.at(i).slot).view; };
  switch (s.kind) {
    case StepKind::Constant:
      return Values(p.starts(s.resolution).size(), s.value);
    case StepKind::Arithmetic: {
      std::vector<blocks::ArithOperand> ops;
      ops.reserve(s.operands.size());
      for (const Operand& o : s.operands) {
        if (o.kind == Operand::Kind::Number) {
          ops.push_back(blocks::ArithOperand::of(o.number));
        } else {
          const Slot& in = slots.at(o.slot);
          ops.push_back(
              blocks::ArithOperand::of(blocks::LabelledView{p.starts(in.resolution), in.view}));
        }
      }
      blocks::Combined c = blocks::fold(ops, s.op, s.block);
      if (c.labels_of < 0) value_error("operands of one block must share their resolution");
      return std::move(c.values);
    }
    case StepKind::Aggregate:
      if (!p.runs(k).empty()) return blocks::aggregate_runs(values(0), p.runs(k), s.aggregation);
      return blocks::aggregate(t, p.starts(s.source), values(0), s.resolution, s.aggregation,
                               s.source);
    case StepKind::Resample:
      return blocks::resample(t, {p.starts(s.source), values(0)}, s.resolution, s.source,
                              s.is_rate);
    case StepKind::Select:
      return blocks::select(values(0), p.mask(k));
    case StepKind::Extremes: {
      // The input lies on its period starts, each element its own instant: the kept flags
      // go straight back to the elements (as the block's own evaluation does).
      const timeline::Grouping& g = p.grouping(k);
      const timeline::Mask kept = timeline::select_extremes(g, values(0), s.n, s.highest);
      timeline::Mask keep(values(0).size(), 0);
      for (std::size_t e = 0; e < kept.size(); ++e) keep[g.position(e)] = kept[e];
      return blocks::select(values(0), keep);
    }
    case StepKind::Mask: {
      const Operand& r = s.operands.at(1);
      if (r.kind == Operand::Kind::Number) return blocks::mask(values(0), p.mask(k), r.number);
      return blocks::mask(values(0), p.mask(k), values(1));
    }
    case StepKind::Clip: {
      auto bound = [&](std::size_t i) {
        const Operand& o = s.operands.at(i);
        if (o.kind == Operand::Kind::None) return blocks::Bound::none();
        if (o.kind == Operand::Kind::Number) return blocks::Bound::of(o.number);
        return blocks::Bound::of(values(i));
      };
      return blocks::clip(values(0), bound(1), bound(2));
    }
    case StepKind::Lookup:
      return blocks::lookup(values(0), s.boundaries, s.levels);
  }
  return {};
}

RowRun::RowRun(const Prepared& p) : p_(p), slots_(p.plan().slots) {
  for (std::size_t k = 0; k < slots_.size(); ++k) {
    slots_[k].resolution = p.slot_resolution(k);
    slots_[k].view = p.constant(k);
  }
}

void RowRun::feed(std::size_t i, std::span<const double> row) {
  Slot& s = slots_[p_.inputs()[i].slot];
  if (p_.identical(i)) {
    s.view = row;
    return;
  }
  const std::span<const std::int64_t> at = p_.placement(i);
  // Placed on the period starts as the timeline aligns a series: 0.0 where it has no value.
  s.own.resize(at.size());
  for (std::size_t k = 0; k < at.size(); ++k)
    s.own[k] = at[k] >= 0 ? row[static_cast<std::size_t>(at[k])] : 0.0;
  s.view = s.own;
}

// The hot steps write into the output slot's buffer; any step whose output buffer is also one
// of its operands, or whose operands do not line up, takes the kernels' general path.
bool RowRun::in_place(std::size_t k) {
  const Step& s = p_.plan().steps[k];
  Slot& out = slots_[s.output];
  const double* own = out.own.data();
  std::size_t n = 0;
  const Slot* first = nullptr;
  for (const Operand& o : s.operands) {
    if (o.kind != Operand::Kind::Slot) continue;
    const Slot& in = slots_[o.slot];
    if (own != nullptr && in.view.data() == own) return false;
    if (first == nullptr) {
      first = &in;
      n = in.view.size();
    }
    // Series of one resolution share their labels (the period starts): fold pairs them by
    // position.
    if (in.view.size() != n ||
        (s.kind == StepKind::Arithmetic && in.resolution != first->resolution))
      return false;
  }
  const std::span<const double> x = s.operands.empty() || s.operands[0].kind != Operand::Kind::Slot
                                        ? std::span<const double>()
                                        : slots_[s.operands[0].slot].view;
  switch (s.kind) {
    case StepKind::Arithmetic: {
      if (first == nullptr) return false;
      out.own.resize(n);
      // In the order of Arith: one instantiation per operation.
      static constexpr void (*kFold[])(const Step&, const std::vector<Slot>&, std::span<double>) = {
          fold_into<Arith::Add>, fold_into<Arith::Subtract>, fold_into<Arith::Multiply>,
          fold_into<Arith::Divide>};
      kFold[static_cast<std::size_t>(s.op)](s, slots_, out.own);
      break;
    }
    case StepKind::Aggregate: {
      const std::span<const std::size_t> runs = p_.runs(k);
      if (runs.empty()) return false;
      out.own.resize(runs.size() - 1);
      blocks::aggregate_runs(x, runs, s.aggregation, out.own);
      break;
    }
    case StepKind::Select: {
      const timeline::Mask& keep = p_.mask(k);
      if (keep.size() != x.size()) return false;
      out.own.resize(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) out.own[i] = keep[i] ? x[i] : kNaN;
      break;
    }
    case StepKind::Mask: {
      const timeline::Mask& c = p_.mask(k);
      const Operand& r = s.operands.at(1);
      if (c.size() != x.size()) return false;
      out.own.resize(x.size());
      if (r.kind == Operand::Kind::Number) {
        for (std::size_t i = 0; i < x.size(); ++i)
          out.own[i] = ((c[i] != 0) & !std::isnan(x[i])) ? r.number : x[i];
      } else {
        const double* rep = slots_[r.slot].view.data();
        for (std::size_t i = 0; i < x.size(); ++i)
          out.own[i] = ((c[i] != 0) & !std::isnan(x[i])) ? rep[i] : x[i];
      }
      break;
    }
    case StepKind::Extremes: {
      const timeline::Grouping& g = p_.grouping(k);
      const timeline::Mask kept = timeline::select_extremes(g, x, s.n, s.highest);
      out.own.assign(x.size(), kNaN);
      for (std::size_t e = 0; e < kept.size(); ++e)
        if (kept[e]) out.own[g.position(e)] = x[g.position(e)];
      break;
    }
    default:
      return false;
  }
  out.view = out.own;
  return true;
}

std::span<const double> RowRun::run() {
  const std::vector<Step>& steps = p_.plan().steps;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    if (!p_.per_meter(k) || in_place(k)) continue;
    slots_[steps[k].output].set(compute(p_, k, slots_));
  }
  return slots_[p_.plan().cost].view;
}

}  // namespace ostrel::core::fleet
