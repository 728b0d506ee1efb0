#include "core/timeline/periods.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "core/timeline/civil.hpp"

namespace ostrel::core::timeline {

namespace {

constexpr const char* kQuarterHourly[] = {"year", "month", "day", "hour", "minute", "utc_offset"};
constexpr const char* kHourly[] = {"year", "month", "day", "hour", "utc_offset"};
constexpr const char* kDaily[] = {"year", "month", "day"};
constexpr const char* kWeekly[] = {"iso_year", "week"};
constexpr const char* kMonthly[] = {"year", "month"};
constexpr const char* kYearly[] = {"year"};

// A key tuple packed into two integers that compare lexicographically like the tuple: the
// calendar fields become one ordinal, the UTC offset (where it is a key) stays apart.
struct Key {
  std::int64_t primary;
  std::int64_t secondary;
  auto operator<=>(const Key&) const = default;
};

// Keys are cheap to derive from a row's run, so they are computed where needed, not stored.
template <Resolution R>
Key key_at(const Calendar& c, std::size_t k, std::size_t row) {
  const DayRun& d = c.runs[k];
  if constexpr (R == Resolution::QUARTER_HOURLY)
    return {std::int64_t{d.date} * 1440 + c.minute_of_day(k, row), d.offset};
  else if constexpr (R == Resolution::HOURLY)
    return {std::int64_t{d.date} * 24 +
                (c.hour.empty() ? c.minute_of_day(k, row) / 60 : std::int64_t{c.hour[row]}),
            d.offset};
  else if constexpr (R == Resolution::DAILY)
    return {d.date, 0};
  else if constexpr (R == Resolution::WEEKLY)
    return {std::int64_t{d.iso_year} * 64 + d.week, 0};
  else if constexpr (R == Resolution::MONTHLY)
    return {std::int64_t{d.year} * 16 + d.month, 0};
  else
    return {d.year, 0};
}

// Ranks runs whose keys ascend within each chunk (maximal ascending sequences of runs) into
// period ids, equal keys sharing one, and records the first row of each period. A grid has
// one chunk more per repeated local hour, and the chunks interleave only over that hour, so
// the merge gallops through long stretches of one chunk.
template <typename KeyOfRun, typename RowOfRun>
void merge_chunks(const std::vector<std::size_t>& chunks, KeyOfRun key, RowOfRun row,
                  Column<std::int32_t>& id_of_run, Column<std::int32_t>& first_row) {
  const std::size_t k = chunks.size() - 1;
  std::vector<std::size_t> head(chunks.begin(), chunks.end() - 1);
  std::vector<Key> head_key(k);
  for (std::size_t c = 0; c < k; ++c)
    if (head[c] < chunks[c + 1]) head_key[c] = key(head[c]);
  Key last{};
  bool any = false;
  for (;;) {
    std::size_t best = k;
    for (std::size_t c = 0; c < k; ++c)  // ties: the earlier chunk, whose runs come first
      if (head[c] < chunks[c + 1] && (best == k || head_key[c] < head_key[best])) best = c;
    if (best == k) break;
    // Run j of the best chunk may go next while it sorts before every other chunk's head.
    auto goes_next = [&](std::size_t j) {
      const Key kj = key(j);
      for (std::size_t c = 0; c < k; ++c) {
        if (c == best || head[c] == chunks[c + 1]) continue;
        if (head_key[c] < kj || (head_key[c] == kj && c < best)) return false;
      }
      return true;
    };
    const std::size_t lo = head[best], hi = chunks[best + 1];
    std::size_t ok = lo, step = 1;  // goes_next(ok) holds
    while (ok + step < hi && goes_next(ok + step)) ok += step, step *= 2;
    std::size_t bad = std::min(ok + step, hi);  // first index known not to go (or hi)
    while (bad - ok > 1) {
      const std::size_t mid = ok + (bad - ok) / 2;
      if (goes_next(mid))
        ok = mid;
      else
        bad = mid;
    }
    // The block's first run may share the period of the last one emitted (equal keys in two
    // chunks); every later run of the block starts a new period.
    if (!any || head_key[best] != last) first_row.push_back(static_cast<std::int32_t>(row(lo)));
    id_of_run[lo] = static_cast<std::int32_t>(first_row.size() - 1);
    const std::size_t base = first_row.size();
    first_row.resize(base + (bad - lo - 1));
    for (std::size_t j = lo + 1; j < bad; ++j) {
      first_row[base + (j - lo - 1)] = static_cast<std::int32_t>(row(j));
      id_of_run[j] = static_cast<std::int32_t>(base + (j - lo - 1));
    }
    any = true;
    last = key(bad - 1);
    head[best] = bad;
    if (bad < hi) head_key[best] = key(bad);
  }
}

// The fallback for tables in no useful order: a stable sort of the runs by key.
template <typename KeyOfRun, typename RowOfRun>
void sort_runs(std::size_t runs, KeyOfRun key, RowOfRun row, Column<std::int32_t>& id_of_run,
               Column<std::int32_t>& first_row) {
  std::vector<std::pair<Key, std::size_t>> order(runs);
  for (std::size_t j = 0; j < runs; ++j) order[j] = {key(j), j};
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t j = 0; j < runs; ++j) {
    if (j == 0 || order[j - 1].first != order[j].first)
      first_row.push_back(static_cast<std::int32_t>(row(order[j].second)));
    id_of_run[order[j].second] = static_cast<std::int32_t>(first_row.size() - 1);
  }
}

// Numbers the runs of `p` (in `chunks` of ascending keys) with period ids in ascending key
// order, and records the period starts.
template <typename KeyOfRun, typename RowOfRun>
PeriodIndex rank_runs(PeriodIndex& p, std::size_t runs, const std::vector<std::size_t>& chunks,
                      KeyOfRun key, RowOfRun row) {
  const std::size_t n = p.rows;
  if (chunks.size() == 2) {  // keys ascend with the rows: run j is period j
    p.periods = runs;
    if (runs < n) p.start_rows = p.run_start;
    return std::move(p);
  }
  p.id_of_run.resize(runs);
  Column<std::int32_t> first_row;
  first_row.reserve(runs);
  if (chunks.size() - 1 <= 16)
    merge_chunks(chunks, key, row, p.id_of_run, first_row);
  else
    sort_runs(runs, key, row, p.id_of_run, first_row);
  p.periods = first_row.size();
  // Period starts in row order are the runs that begin their period.
  // Written through plain pointers: stores into the columns could otherwise alias their own
  // fields, which would reload every pointer on every run.
  p.start_of_group.resize(p.periods);
  const bool every_row = p.periods == n;
  if (!every_row) p.start_rows.resize(p.periods);
  const std::int32_t* id = p.id_of_run.data();
  const std::int32_t* first = first_row.data();
  std::int32_t* start_of_group = p.start_of_group.data();
  std::int32_t* start_rows = p.start_rows.data();
  std::size_t k = 0;
  for (std::size_t j = 0; j < runs; ++j) {
    const auto g = static_cast<std::size_t>(id[j]);
    const auto r = static_cast<std::int32_t>(row(j));
    if (first[g] != r) continue;
    start_of_group[g] = static_cast<std::int32_t>(k);
    if (!every_row) start_rows[k] = r;
    ++k;
  }
  return std::move(p);
}

template <Resolution R>
PeriodIndex periods_of(const Calendar& c) {
  const std::size_t n = c.size();
  PeriodIndex p;
  p.rows = n;
  // Runs of equal keys and the chunks of ascending runs they form, in one pass over the day
  // runs. Keys of days and coarser periods are read once per day run; hours and quarter-hours
  // of a built grid follow arithmetically from the run's first minute.
  constexpr bool by_date = R != Resolution::QUARTER_HOURLY && R != Resolution::HOURLY;
  // A built grid's quarter-hours: every row is its own run, and keys ascend along a day run.
  const bool rows_are_runs = R == Resolution::QUARTER_HOURLY && c.derived();
  std::vector<std::size_t> chunks{0};
  std::size_t count = 0;
  Key prev{};
  auto add = [&](std::size_t row, const Key& key) {
    if (count > 0 && key == prev) return;
    if (count > 0 && key < prev) chunks.push_back(count);
    p.run_start.push_back(static_cast<std::int32_t>(row));
    ++count;
    prev = key;
  };
  if (!by_date && !rows_are_runs) p.run_start.reserve(R == Resolution::HOURLY ? n / 4 + 1 : n);
  for (std::size_t k = 0; k < c.runs.size(); ++k) {
    const auto a = static_cast<std::size_t>(c.runs[k].first_row);
    const std::size_t b = c.run_end(k);
    if constexpr (by_date) {
      add(a, key_at<R>(c, k, a));
    } else {
      if (rows_are_runs) {
        if (count > 0 && key_at<R>(c, k, a) < prev) chunks.push_back(count);
        count += b - a;
        prev = key_at<R>(c, k, b - 1);
      } else if (R == Resolution::HOURLY && c.derived()) {
        // The first row of each local hour of the run, found without visiting the others:
        // the run's first row, the first row at or after the next full hour, and from there
        // every fourth row (minutes step by 15 along a run, so each later hour begins exactly
        // four rows on, whatever the zone's offset within its quarter-hour).
        add(a, key_at<R>(c, k, a));
        const std::int64_t m0 = c.runs[k].first_minute;
        const std::int64_t next_hour = (c.minute_of_day(k, a) / 60 + 1) * 60;
        std::size_t row =
            a + static_cast<std::size_t>((next_hour - m0 + kStepMinutes - 1) / kStepMinutes);
        if (row < b) {
          Key key = key_at<R>(c, k, row);
          for (; row < b; row += 60 / kStepMinutes, ++key.primary) add(row, key);
        }
      } else {
        for (std::size_t row = a; row < b; ++row) add(row, key_at<R>(c, k, row));
      }
    }
  }
  if (rows_are_runs) {
    const std::size_t runs = count;
    chunks.push_back(runs);
    auto key = [&](std::size_t j) { return key_at<R>(c, c.run_of(j), j); };
    auto row = [](std::size_t j) { return j; };
    return rank_runs(p, runs, chunks, key, row);
  }
  const std::size_t runs = p.run_start.size();
  chunks.push_back(runs);
  if (runs == n) p.run_start = Column<std::int32_t>();  // every row is its own run
  auto row = [&](std::size_t j) {
    return p.run_start.empty() ? j : static_cast<std::size_t>(p.run_start[j]);
  };
  auto key = [&](std::size_t j) { return key_at<R>(c, c.run_of(row(j)), row(j)); };
  return rank_runs(p, runs, chunks, key, row);
}

}  // namespace

std::span<const char* const> key_columns(Resolution r) {
  // By resolution, from quarter-hourly to yearly.
  static constexpr std::span<const char* const> kColumns[] = {kQuarterHourly, kHourly,  kDaily,
                                                              kWeekly,        kMonthly, kYearly};
  return kColumns[domain::index_of(r)];
}

PeriodIndex compute_periods(const Calendar& table, Resolution r) {
  // By resolution, from quarter-hourly to yearly: one instantiation each.
  using R = Resolution;
  static constexpr PeriodIndex (*kPeriods[])(const Calendar&) = {
      periods_of<R::QUARTER_HOURLY>, periods_of<R::HOURLY>,  periods_of<R::DAILY>,
      periods_of<R::WEEKLY>,         periods_of<R::MONTHLY>, periods_of<R::YEARLY>};
  return kPeriods[domain::index_of(r)](table);
}

Column<std::int32_t> PeriodIndex::group_of_rows() const {
  Column<std::int32_t> out(rows);
  const std::size_t runs = run_start.empty() ? rows : run_start.size();
  for (std::size_t j = 0; j < runs; ++j) {
    const std::size_t begin = run_start.empty() ? j : static_cast<std::size_t>(run_start[j]);
    const std::size_t end = run_start.empty() ? j + 1
                            : j + 1 < runs    ? static_cast<std::size_t>(run_start[j + 1])
                                              : rows;
    const auto id =
        static_cast<std::int32_t>(id_of_run.empty() ? j : static_cast<std::size_t>(id_of_run[j]));
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(begin),
              out.begin() + static_cast<std::ptrdiff_t>(end), id);
  }
  return out;
}

RowLocator::RowLocator(std::span<const std::int64_t> utc) : utc_(utc) {
  const std::size_t n = utc.size();
  if (n == 0) return;
  start_ = utc[0];
  // Differences are taken in unsigned arithmetic: instants centuries apart overflow int64.
  auto diff = [](std::int64_t a, std::int64_t b) {
    return static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b);
  };
  regular_ = n == 1 || (utc[1] > utc[0] && diff(utc[1], utc[0]) <= std::uint64_t{INT64_MAX});
  step_ = n > 1 && regular_ ? static_cast<std::int64_t>(diff(utc[1], utc[0])) : 1;
  for (std::size_t i = 1; i < n && regular_; ++i)
    regular_ = utc[i] > utc[i - 1] && diff(utc[i], utc[i - 1]) == static_cast<std::uint64_t>(step_);
  if (regular_) return;
  sorted_rows_.resize(n);
  std::iota(sorted_rows_.begin(), sorted_rows_.end(), 0);
  std::stable_sort(sorted_rows_.begin(), sorted_rows_.end(), [&](std::int64_t a, std::int64_t b) {
    return utc[static_cast<std::size_t>(a)] < utc[static_cast<std::size_t>(b)];
  });
}

std::int64_t RowLocator::find(std::int64_t instant) const {
  if (utc_.empty()) return -1;
  if (regular_) {
    if (instant < start_) return -1;
    const std::uint64_t d =
        static_cast<std::uint64_t>(instant) - static_cast<std::uint64_t>(start_);
    const auto step = static_cast<std::uint64_t>(step_);
    if (d % step != 0 || d / step >= utc_.size()) return -1;
    return static_cast<std::int64_t>(d / step);
  }
  auto it = std::lower_bound(
      sorted_rows_.begin(), sorted_rows_.end(), instant,
      [&](std::int64_t row, std::int64_t x) { return utc_[static_cast<std::size_t>(row)] < x; });
  if (it == sorted_rows_.end() || utc_[static_cast<std::size_t>(*it)] != instant) return -1;
  return *it;
}

Column<std::int64_t> RowLocator::find_all(std::span<const std::int64_t> instants) const {
  Column<std::int64_t> rows(instants.size());
  Cursor cursor(*this);
  for (std::size_t i = 0; i < instants.size(); ++i) rows[i] = cursor(instants[i]);
  return rows;
}

}  // namespace ostrel::core::timeline
