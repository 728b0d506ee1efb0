#include "core/blocks/numeric.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <string>

#include "core/common/errors.hpp"
#include "core/common/spans.hpp"

namespace ostrel::core::blocks {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_labels(std::span<const int64_t> a, std::span<const int64_t> b) {
  return same_elements(a, b);
}

// 1 / d when dividing by d is multiplying by it, bit for bit: d a power of two whose
// reciprocal is a normal number (both then scale by the same power of two, rounded once), as
// the usual quarter-hour of 0.25 hours is. A multiplication costs a fraction of a division.
std::optional<double> exact_reciprocal(double d) {
  int exponent = 0;
  if (!std::isnormal(d) || std::frexp(d, &exponent) != (d > 0 ? 0.5 : -0.5)) return std::nullopt;
  const double r = 1.0 / d;
  if (!std::isnormal(r)) return std::nullopt;
  return r;
}

// Calls f with the operation as a function object, so that each loop over values is compiled
// for the one operation it makes.
template <typename F>
void with_operation(Arith op, F f) {
  switch (op) {
    case Arith::Add:
      return f(std::plus<>());
    case Arith::Subtract:
      return f(std::minus<>());
    case Arith::Multiply:
      return f(std::multiplies<>());
    case Arith::Divide:
      return f(std::divides<>());
  }
}

// Positions of `labels` in ascending label order; fails on a repeated label.
std::vector<size_t> sorted_order(std::span<const int64_t> labels) {
  std::vector<size_t> order(labels.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t i, size_t j) { return labels[i] < labels[j]; });
  for (size_t k = 1; k < order.size(); ++k)
    if (labels[order[k]] == labels[order[k - 1]])
      value_error("cannot reindex on an axis with duplicate labels");
  return order;
}

}  // namespace

double apply(Arith op, double a, double b) {
  switch (op) {
    case Arith::Add:
      return a + b;
    case Arith::Subtract:
      return a - b;
    case Arith::Multiply:
      return a * b;
    case Arith::Divide:
      return a / b;  // IEEE: x/0 is +-inf, 0/0 NaN
  }
  return kNaN;
}

Labelled combine(LabelledView a, LabelledView b, Arith op) {
  Labelled out;
  if (same_labels(a.labels, b.labels)) {
    out.labels.assign(a.labels.begin(), a.labels.end());
    out.values.resize(a.values.size());
    for (size_t i = 0; i < a.values.size(); ++i)
      out.values[i] = apply(op, a.values[i], b.values[i]);
    return out;
  }
  const auto oa = sorted_order(a.labels), ob = sorted_order(b.labels);
  out.labels.reserve(oa.size() + ob.size());
  out.values.reserve(oa.size() + ob.size());
  size_t i = 0, j = 0;
  while (i < oa.size() || j < ob.size()) {
    const bool take_a = j == ob.size() || (i < oa.size() && a.labels[oa[i]] <= b.labels[ob[j]]);
    const bool take_b = i == oa.size() || (j < ob.size() && b.labels[ob[j]] <= a.labels[oa[i]]);
    if (take_a && take_b) {
      out.labels.push_back(a.labels[oa[i]]);
      out.values.push_back(apply(op, a.values[oa[i]], b.values[ob[j]]));
      ++i, ++j;
    } else if (take_a) {
      out.labels.push_back(a.labels[oa[i++]]);
      out.values.push_back(kNaN);
    } else {
      out.labels.push_back(b.labels[ob[j++]]);
      out.values.push_back(kNaN);
    }
  }
  return out;
}

void combine_scalar(std::span<double> values, double number, Arith op, bool number_on_left) {
  double* v = values.data();
  const size_t n = values.size();
  // Dividing by a power of two is multiplying by its exact reciprocal: the same results.
  if (const std::optional<double> r =
          op == Arith::Divide && !number_on_left ? exact_reciprocal(number) : std::nullopt) {
    for (size_t i = 0; i < n; ++i) v[i] *= *r;
    return;
  }
  with_operation(op, [&](auto f) {
    if (number_on_left)
      for (size_t i = 0; i < n; ++i) v[i] = f(number, v[i]);
    else
      for (size_t i = 0; i < n; ++i) v[i] = f(v[i], number);
  });
}

Values reindex(LabelledView source, std::span<const int64_t> targets) {
  Values out(targets.size(), kNaN);
  if (same_labels(source.labels, targets)) {
    std::copy(source.values.begin(), source.values.end(), out.begin());
    return out;
  }
  const auto order = sorted_order(source.labels);
  std::vector<int64_t> keys(order.size());
  for (size_t k = 0; k < order.size(); ++k) keys[k] = source.labels[order[k]];
  for (size_t t = 0; t < targets.size(); ++t) {
    auto it = std::lower_bound(keys.begin(), keys.end(), targets[t]);
    if (it != keys.end() && *it == targets[t])
      out[t] = source.values[order[static_cast<size_t>(it - keys.begin())]];
  }
  return out;
}

std::vector<int64_t> forward_fill_positions(std::span<const int64_t> source,
                                            std::span<const int64_t> targets) {
  if (!std::is_sorted(source.begin(), source.end()))
    value_error("index must be monotonic increasing or decreasing");
  std::vector<int64_t> out(targets.size(), -1);
  for (size_t t = 0; t < targets.size(); ++t)
    out[t] = (std::upper_bound(source.begin(), source.end(), targets[t]) - source.begin()) - 1;
  return out;
}

Values forward_fill(LabelledView source, std::span<const int64_t> targets) {
  const auto pos = forward_fill_positions(source.labels, targets);
  Values out(targets.size(), kNaN);
  for (size_t t = 0; t < targets.size(); ++t)
    if (pos[t] >= 0) out[t] = source.values[static_cast<size_t>(pos[t])];
  return out;
}

Values lookup(std::span<const double> x, std::span<const double> boundaries,
              std::span<const double> levels) {
  Values out(x.size(), kNaN);
  for (size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) continue;
    const auto tier = static_cast<size_t>(
        std::upper_bound(boundaries.begin(), boundaries.end(), x[i]) - boundaries.begin());
    if (tier >= levels.size())
      fail(ErrorKind::Index, "index " + std::to_string(tier) +
                                 " is out of bounds for axis 0 with size " +
                                 std::to_string(levels.size()));
    out[i] = levels[tier];
  }
  return out;
}

Values clip(std::span<const double> x, Bound lower, Bound upper) {
  using K = Bound::Kind;
  if (lower.kind == K::Number && upper.kind == K::Number && lower.number > upper.number)
    std::swap(lower, upper);
  auto at = [](const Bound& b, size_t i) { return b.kind == K::Number ? b.number : b.values[i]; };
  Values out(x.begin(), x.end());
  for (size_t i = 0; i < out.size(); ++i) {
    double& v = out[i];
    if (std::isnan(v)) continue;
    if (lower.kind != K::None) {
      const double lo = at(lower, i);
      if (v < lo) v = lo;  // false for a NaN bound
    }
    if (upper.kind != K::None) {
      const double hi = at(upper, i);
      if (v > hi) v = hi;
    }
  }
  return out;
}

Values select(std::span<const double> x, std::span<const uint8_t> keep) {
  const double* v = x.data();
  const uint8_t* k = keep.data();
  return timeline::generated<double>(x.size(), [v, k](size_t i) { return k[i] ? v[i] : kNaN; });
}

// Both tests taken without a branch, so that the loops compile to selects.
Values mask(std::span<const double> x, std::span<const uint8_t> condition,
            std::span<const double> replacement) {
  const double *v = x.data(), *r = replacement.data();
  const uint8_t* c = condition.data();
  return timeline::generated<double>(
      x.size(), [v, c, r](size_t i) { return ((c[i] != 0) & !std::isnan(v[i])) ? r[i] : v[i]; });
}

Values mask(std::span<const double> x, std::span<const uint8_t> condition, double replacement) {
  const double* v = x.data();
  const uint8_t* c = condition.data();
  return timeline::generated<double>(x.size(), [v, c, replacement](size_t i) {
    return ((c[i] != 0) & !std::isnan(v[i])) ? replacement : v[i];
  });
}

Combined fold(std::span<const ArithOperand> operands, Arith op, std::string_view block) {
  size_t first = 0;
  double number = 0.0;
  while (first < operands.size() && !operands[first].is_series) {
    number = first == 0 ? operands[first].number : apply(op, number, operands[first].number);
    ++first;
  }
  if (first == operands.size())
    value_error(std::string(block) + " requires at least one Dataset operand");
  Combined out;
  out.labels_of = static_cast<int64_t>(first);
  std::span<const int64_t> labels = operands[first].series.labels;
  const std::span<const double> v0 = operands[first].series.values;
  // The first operation is made with the copy of the first series, in one pass: the numbers
  // before it, else the operand after it.
  size_t next = first + 1;
  const double* a = v0.data();
  with_operation(op, [&](auto f) {
    if (first > 0) {
      out.values = timeline::generated<double>(
          v0.size(), [a, number, f](size_t i) { return f(number, a[i]); });
    } else if (next < operands.size() && !operands[next].is_series) {
      const double b = operands[next++].number;
      if (const std::optional<double> r = op == Arith::Divide ? exact_reciprocal(b) : std::nullopt)
        out.values = timeline::generated<double>(
            v0.size(), [a, m = *r](size_t i) { return a[i] * m; });  // as combine_scalar
      else
        out.values =
            timeline::generated<double>(v0.size(), [a, b, f](size_t i) { return f(a[i], b); });
    } else if (next < operands.size() && same_labels(labels, operands[next].series.labels)) {
      const double* b = operands[next++].series.values.data();
      out.values =
          timeline::generated<double>(v0.size(), [a, b, f](size_t i) { return f(a[i], b[i]); });
    } else {
      out.values.assign(v0.begin(), v0.end());
    }
  });
  for (size_t k = next; k < operands.size(); ++k) {
    const ArithOperand& o = operands[k];
    if (!o.is_series) {
      combine_scalar(out.values, o.number, op, /*number_on_left=*/false);
    } else if (same_labels(labels, o.series.labels)) {
      double* acc = out.values.data();
      const double* rhs = o.series.values.data();
      const size_t n = out.values.size();
      with_operation(op, [&](auto f) {
        for (size_t i = 0; i < n; ++i) acc[i] = f(acc[i], rhs[i]);
      });
    } else {
      Labelled u = combine({labels, out.values}, o.series, op);
      out.values = std::move(u.values);
      out.labels = std::move(u.labels);
      out.labels_of = -1;
      labels = out.labels;
    }
  }
  return out;
}

}  // namespace ostrel::core::blocks
