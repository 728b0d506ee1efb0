#include "core/blocks/numeric.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "core/common/errors.hpp"

namespace ostrel::core::blocks {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_labels(std::span<const int64_t> a, std::span<const int64_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
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
    case Arith::Add: return a + b;
    case Arith::Subtract: return a - b;
    case Arith::Multiply: return a * b;
    case Arith::Divide: return a / b;  // IEEE: x/0 is +-inf, 0/0 NaN
  }
  return kNaN;
}

Labelled combine(LabelledView a, LabelledView b, Arith op) {
  Labelled out;
  if (same_labels(a.labels, b.labels)) {
    out.labels.assign(a.labels.begin(), a.labels.end());
    out.values.resize(a.values.size());
    for (size_t i = 0; i < a.values.size(); ++i) out.values[i] = apply(op, a.values[i], b.values[i]);
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
  if (number_on_left) {
    for (double& v : values) v = apply(op, number, v);
  } else {
    for (double& v : values) v = apply(op, v, number);
  }
}

std::vector<double> reindex(LabelledView source, std::span<const int64_t> targets) {
  std::vector<double> out(targets.size(), kNaN);
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

std::vector<double> forward_fill(LabelledView source, std::span<const int64_t> targets) {
  if (!std::is_sorted(source.labels.begin(), source.labels.end()))
    value_error("index must be monotonic increasing or decreasing");
  std::vector<double> out(targets.size(), kNaN);
  for (size_t t = 0; t < targets.size(); ++t) {
    auto it = std::upper_bound(source.labels.begin(), source.labels.end(), targets[t]);
    if (it != source.labels.begin())
      out[t] = source.values[static_cast<size_t>(it - source.labels.begin()) - 1];
  }
  return out;
}

std::vector<double> lookup(std::span<const double> x, std::span<const double> boundaries,
                           std::span<const double> levels) {
  std::vector<double> out(x.size(), kNaN);
  for (size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) continue;
    const auto tier = std::upper_bound(boundaries.begin(), boundaries.end(), x[i]) - boundaries.begin();
    out[i] = levels[static_cast<size_t>(tier)];
  }
  return out;
}

std::vector<double> clip(std::span<const double> x, std::optional<std::span<const double>> lower,
                         std::optional<std::span<const double>> upper) {
  std::vector<double> out(x.begin(), x.end());
  for (size_t i = 0; i < out.size(); ++i) {
    double& v = out[i];
    if (std::isnan(v)) continue;
    if (lower && !std::isnan((*lower)[i]) && v < (*lower)[i]) v = (*lower)[i];
    if (upper && !std::isnan((*upper)[i]) && v > (*upper)[i]) v = (*upper)[i];
  }
  return out;
}

std::vector<double> select(std::span<const double> x, std::span<const uint8_t> keep) {
  std::vector<double> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) out[i] = keep[i] ? x[i] : kNaN;
  return out;
}

std::vector<double> mask(std::span<const double> x, std::span<const uint8_t> condition,
                         std::span<const double> replacement) {
  std::vector<double> out(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    out[i] = (condition[i] && !std::isnan(x[i])) ? replacement[i] : x[i];
  return out;
}

}  // namespace ostrel::core::blocks
