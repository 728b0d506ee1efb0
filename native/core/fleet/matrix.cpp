#include "core/fleet/matrix.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/common/errors.hpp"
#include "core/fleet/batch.hpp"
#include "core/fleet/row.hpp"

namespace ostrel::core::fleet {

namespace {

// Meters gathered at once from a matrix whose rows are not contiguous.
constexpr std::size_t kGather = 8;

// The rows [first, first + count) of a source, contiguous: views when they are, else copied
// into `buffer`, reading the matrix in its own order.
void rows_of(const Source& in, std::size_t first, std::size_t count, std::vector<double>& buffer,
             std::vector<const double*>& out) {
  const std::size_t width = in.columns;
  out.resize(count);
  if (in.col_stride == 1 || width <= 1) {
    for (std::size_t j = 0; j < count; ++j)
      out[j] = in.data + static_cast<std::ptrdiff_t>(first + j) * in.row_stride;
    return;
  }
  buffer.resize(count * width);
  const double* base = in.data + static_cast<std::ptrdiff_t>(first) * in.row_stride;
  for (std::size_t k = 0; k < width; ++k) {
    const double* at = base + static_cast<std::ptrdiff_t>(k) * in.col_stride;
    for (std::size_t j = 0; j < count; ++j)
      buffer[j * width + k] = at[static_cast<std::ptrdiff_t>(j) * in.row_stride];
  }
  for (std::size_t j = 0; j < count; ++j) out[j] = buffer.data() + j * width;
}

// The present cost values of each month added to the meter's row of the bill (four sums side
// by side, so that the additions need not wait on each other).
void bill(const Prepared& p, std::span<const double> cost, double* row) {
  if (cost.size() != p.cost_periods())
    value_error("the cost series does not lie on its resolution's periods");
  const double* v = cost.data();
  for (const Prepared::MonthRun& r : p.month_runs()) {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t k = r.begin;
    for (; k + 4 <= r.end; k += 4)
      for (std::size_t q = 0; q < 4; ++q) s[q] += std::isnan(v[k + q]) ? 0.0 : v[k + q];
    for (; k < r.end; ++k) s[0] += std::isnan(v[k]) ? 0.0 : v[k];
    row[r.month] += (s[0] + s[1]) + (s[2] + s[3]);
  }
}

}  // namespace

std::vector<MonthlyCosts> evaluate(std::span<const Source> sources, std::span<const Part> parts,
                                   std::size_t meters) {
  for (const Source& s : sources)
    if (s.rows != meters) value_error("every matrix of a batch must hold one row per meter");
  std::vector<MonthlyCosts> out(parts.size());
  std::vector<RowRun> runs;
  runs.reserve(parts.size());
  std::vector<std::size_t> per_meter;  // the parts whose cost reads a meter
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Prepared& p = *parts[i].prepared;
    const std::span<const InputLabels> inputs = p.inputs();
    if (parts[i].feeds.size() != inputs.size()) value_error("one source per input of the plan");
    for (std::size_t f = 0; f < inputs.size(); ++f) {
      const Part::Feed& feed = parts[i].feeds[f];
      if (feed.source < 0 || static_cast<std::size_t>(feed.source) >= sources.size() ||
          feed.first < 0)
        value_error("an input's source or first column is out of range");
      const std::size_t columns = sources[static_cast<std::size_t>(feed.source)].columns;
      if (static_cast<std::size_t>(feed.first) > columns ||
          inputs[f].labels.size() > columns - static_cast<std::size_t>(feed.first))
        value_error("an input's labels lie outside its source's columns");
    }
    const std::span<const std::int64_t> months = p.month_starts();
    out[i].month_starts.assign(months.begin(), months.end());
    runs.emplace_back(p);
    const bool reads = p.slot_per_meter(p.plan().cost);
    out[i].rows = reads ? meters : 1;
    out[i].costs.assign(out[i].rows * months.size(), 0.0);
    if (reads)
      per_meter.push_back(i);
    else
      bill(p, runs[i].run(), out[i].costs.data());
  }
  if (per_meter.empty()) return out;
  std::vector<std::vector<double>> buffers(sources.size());
  std::vector<std::vector<const double*>> rows(sources.size());
  for (std::size_t first = 0; first < meters; first += kGather) {
    const std::size_t count = std::min(kGather, meters - first);
    for (std::size_t s = 0; s < sources.size(); ++s)
      rows_of(sources[s], first, count, buffers[s], rows[s]);
    for (std::size_t j = 0; j < count; ++j) {
      for (std::size_t i : per_meter) {
        const Prepared& p = *parts[i].prepared;
        for (std::size_t f = 0; f < parts[i].feeds.size(); ++f) {
          const Part::Feed& feed = parts[i].feeds[f];
          const double* row = rows[static_cast<std::size_t>(feed.source)][j] + feed.first;
          runs[i].feed(f, {row, p.inputs()[f].labels.size()});
        }
        bill(p, runs[i].run(), out[i].costs.data() + (first + j) * out[i].month_starts.size());
      }
    }
  }
  return out;
}

void unknown_block(std::string_view type) {
  std::string message = "no matrix evaluation of block ";
  message += type;
  fail(ErrorKind::NotImplemented, message);
}

}  // namespace ostrel::core::fleet
