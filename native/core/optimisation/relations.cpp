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

namespace {

// One variable of a row: its columns, its coefficient per step, and its bounds for big-M.
struct Slot {
  const int64_t* cols;
  PerStep coef;
  double scale;  // the coefficient is scale x coef
  const double* lb;
  const double* ub;
};

// The rows of a relation in one pass over the steps, row-major like the result; with a gate,
// one more entry per row after the n x k block.
ConstraintSeries build_rows(const VarRef& y, double sign, PerStep rhs, std::span<const Term> terms,
                            const int64_t* gate, bool when_one) {
  const size_t n = y.cols.size();
  const size_t k = variable_count(terms, n);
  std::vector<Slot> slots;
  std::vector<const Term*> constants;
  slots.reserve(k);
  slots.push_back({y.cols.data(), PerStep::of(1.0), sign, y.lb.data(), y.ub.data()});
  for (const Term& t : terms) {
    if (t.is_variable)
      slots.push_back(
          {t.variable.cols.data(), t.coef, -sign, t.variable.lb.data(), t.variable.ub.data()});
    else
      constants.push_back(&t);
  }
  const size_t block = n * k, total = block + (gate ? n : 0);
  ConstraintSeries out;
  out.cols.resize(total);
  out.rows.resize(total);
  out.coefs.resize(total);
  out.rhs.resize(n);
  int64_t* cols = out.cols.data();
  int64_t* rows = out.rows.data();
  double* coefs = out.coefs.data();
  for (size_t i = 0; i < n; ++i) {
    double r = sign * rhs[i];
    for (const Term* t : constants) r += sign * t->coef[i] * t->constant[i];
    double largest = 0.0;
    const size_t base = i * k;
    for (size_t j = 0; j < k; ++j) {
      const Slot& s = slots[j];
      const double c = s.scale * s.coef[i];
      cols[base + j] = s.cols[i];
      rows[base + j] = static_cast<int64_t>(i);
      coefs[base + j] = c;
      if (gate) largest += std::max(c * s.lb[i], c * s.ub[i]);
    }
    if (gate) {
      const double m = largest - r;
      cols[block + i] = gate[i];
      rows[block + i] = static_cast<int64_t>(i);
      coefs[block + i] = when_one ? m : -m;
      if (when_one) r += m;
    }
    out.rhs[i] = r;
  }
  return out;
}

}  // namespace

ConstraintSeries relation(const VarRef& y, double sign, PerStep rhs, std::span<const Term> terms) {
  return build_rows(y, sign, rhs, terms, nullptr, false);
}

ConstraintSeries gated_relation(const VarRef& y, double sign, std::span<const Term> terms,
                                std::span<const int64_t> gate_cols, bool when_one) {
  if (gate_cols.size() != y.cols.size()) value_error("gate must have as many entries as y");
  return build_rows(y, sign, PerStep::of(0.0), terms, gate_cols.data(), when_one);
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
