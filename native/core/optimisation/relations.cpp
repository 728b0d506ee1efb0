#include "core/optimisation/relations.hpp"

#include <algorithm>

#include "core/common/errors.hpp"

namespace ostrel::core::optimisation {

namespace {

void require_length(const VarRef& v, size_t n) {
  if (v.cols.size() != n || v.lb.size() != n || v.ub.size() != n)
    value_error("every VariableSeries of a relation must have as many entries as y");
}

size_t variable_count(std::span<const Term> terms, size_t n) {
  size_t k = 1;
  for (const Term& t : terms) {
    if (!t.is_variable) continue;
    require_length(t.variable, n);
    ++k;
  }
  return k;
}

}  // namespace

ConstraintSeries relation(const VarRef& y, double sign, PerStep rhs, std::span<const Term> terms) {
  const size_t n = y.cols.size();
  const size_t k = variable_count(terms, n);
  ConstraintSeries out;
  out.cols.resize(n * k);
  out.rows.resize(n * k);
  out.coefs.resize(n * k);
  out.rhs.resize(n);
  for (size_t i = 0; i < n; ++i) {
    out.rhs[i] = sign * rhs[i];
    out.cols[i * k] = y.cols[i];
    out.coefs[i * k] = sign;
    for (size_t j = 0; j < k; ++j) out.rows[i * k + j] = static_cast<int64_t>(i);
  }
  size_t slot = 1;
  for (const Term& t : terms) {
    if (t.is_variable) {
      for (size_t i = 0; i < n; ++i) {
        out.cols[i * k + slot] = t.variable.cols[i];
        out.coefs[i * k + slot] = -sign * t.coef[i];
      }
      ++slot;
    } else {
      for (size_t i = 0; i < n; ++i) out.rhs[i] -= (-sign * t.coef[i]) * t.constant[i];
    }
  }
  return out;
}

ConstraintSeries gated_relation(const VarRef& y, double sign, std::span<const Term> terms,
                                std::span<const int64_t> gate_cols, bool when_one) {
  const size_t n = y.cols.size();
  if (gate_cols.size() != n) value_error("gate must have as many entries as y");
  ConstraintSeries out = relation(y, sign, PerStep::of(0.0), terms);
  const size_t k = n == 0 ? 0 : out.nnz() / n;
  // Largest left side of each row over the variables' boxes.
  std::vector<double> big_m(n, 0.0);
  auto fold = [&](const VarRef& v, size_t slot) {
    for (size_t i = 0; i < n; ++i) {
      const double c = out.coefs[i * k + slot];
      big_m[i] += std::max(c * v.lb[i], c * v.ub[i]);
    }
  };
  fold(y, 0);
  size_t slot = 1;
  for (const Term& t : terms)
    if (t.is_variable) fold(t.variable, slot++);
  out.cols.reserve(out.nnz() + n);
  out.rows.reserve(out.nnz() + n);
  out.coefs.reserve(out.nnz() + n);
  for (size_t i = 0; i < n; ++i) {
    const double m = big_m[i] - out.rhs[i];
    out.cols.push_back(gate_cols[i]);
    out.rows.push_back(static_cast<int64_t>(i));
    out.coefs.push_back(when_one ? m : -m);
    if (when_one) out.rhs[i] += m;
  }
  return out;
}

LinearCombination linear_combination(std::span<const Term> terms, size_t n, int64_t start_col) {
  std::vector<double> lb(n, 0.0), ub(n, 0.0);
  for (const Term& t : terms) {
    if (t.is_variable) {
      require_length(t.variable, n);
      for (size_t i = 0; i < n; ++i) {
        const double c = t.coef[i], a = c * t.variable.lb[i], b = c * t.variable.ub[i];
        lb[i] += std::min(a, b);
        ub[i] += std::max(a, b);
      }
    } else {
      for (size_t i = 0; i < n; ++i) {
        const double v = t.coef[i] * t.constant[i];
        lb[i] += v;
        ub[i] += v;
      }
    }
  }
  LinearCombination out;
  out.output = continuous(start_col, std::move(lb), std::move(ub));
  validate(out.output, n);
  out.equalities = relation(VarRef::of(out.output), 1.0, PerStep::of(0.0), terms);
  return out;
}

GroupRows sum_per_group(std::span<const GroupTermRef> terms) {
  GroupRows out;
  size_t nnz = 0;
  for (const GroupTermRef& t : terms) nnz += t.cols.size();
  ConstraintSeries& c = out.rows;
  c.cols.reserve(nnz);
  c.rows.reserve(nnz);
  c.coefs.reserve(nnz);
  for (const GroupTermRef& t : terms) {
    c.cols.insert(c.cols.end(), t.cols.begin(), t.cols.end());
    c.rows.insert(c.rows.end(), t.allocation.begin(), t.allocation.end());
    for (size_t i = 0; i < t.cols.size(); ++i) c.coefs.push_back(t.coef[i]);
  }
  // Distinct labels: a bitmap when labels are dense enough, else a sorted copy.
  int64_t lo = 0, hi = -1;
  for (int64_t r : c.rows) {
    lo = std::min(lo, r);
    hi = std::max(hi, r);
  }
  if (c.rows.empty()) return out;
  if (lo >= 0 && static_cast<size_t>(hi) <= 4 * c.rows.size() + 64) {
    std::vector<uint8_t> seen(static_cast<size_t>(hi) + 1, 0);
    for (int64_t r : c.rows) {
      out.groups += seen[static_cast<size_t>(r)] == 0;
      seen[static_cast<size_t>(r)] = 1;
    }
  } else {
    std::vector<int64_t> sorted(c.rows);
    std::sort(sorted.begin(), sorted.end());
    out.groups = static_cast<size_t>(std::unique(sorted.begin(), sorted.end()) - sorted.begin());
  }
  return out;
}

}  // namespace ostrel::core::optimisation
