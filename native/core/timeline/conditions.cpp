#include "core/timeline/conditions.hpp"

#include <algorithm>

#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::timeline {

namespace {

using Kind = TimeCondition::Kind;

// The evaluated rows: a whole calendar, or a selection of its rows, each with its day run.
struct View {
  const Calendar& c;
  bool all;
  std::span<const std::int64_t> rows;  // without `all`
  std::vector<std::size_t> run;        // without `all`: the day run of each selected row
  std::size_t size() const { return all ? c.size() : rows.size(); }
};

View whole(const Calendar& c) { return View{c, true, {}, {}}; }

View selection(const Calendar& c, std::span<const std::int64_t> rows) {
  View v{c, false, rows, std::vector<std::size_t>(rows.size())};
  // Selections mostly ascend (period starts, a series on the grid): step along the runs.
  std::size_t k = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto r = static_cast<std::size_t>(rows[i]);
    auto in = [&](std::size_t j) {
      return j < c.runs.size() && r >= static_cast<std::size_t>(c.runs[j].first_row) &&
             r < c.run_end(j);
    };
    if (!in(k)) k = in(k + 1) ? k + 1 : c.run_of(r);
    v.run[i] = k;
  }
  return v;
}

// A test of a row's time of day (minutes after local midnight).
template <typename Test>
Mask per_row(const View& v, Test test) {
  Mask m(v.size());
  if (v.all) {
    for (std::size_t k = 0; k < v.c.runs.size(); ++k)
      for (std::size_t r = static_cast<std::size_t>(v.c.runs[k].first_row); r < v.c.run_end(k); ++r)
        m[r] = test(v.c.minute_of_day(k, r)) ? 1 : 0;
  } else {
    for (std::size_t i = 0; i < m.size(); ++i)
      m[i] = test(v.c.minute_of_day(v.run[i], static_cast<std::size_t>(v.rows[i]))) ? 1 : 0;
  }
  return m;
}

// A test of a row's day run (its local date and the fields that follow from it), made once
// per run over a whole calendar.
template <typename Test>
Mask per_date(const View& v, Test test) {
  Mask m(v.size());
  if (!v.all) {
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = test(v.c.runs[v.run[i]]) ? 1 : 0;
    return m;
  }
  for (std::size_t k = 0; k < v.c.runs.size(); ++k)
    std::fill(m.begin() + v.c.runs[k].first_row,
              m.begin() + static_cast<std::ptrdiff_t>(v.c.run_end(k)), test(v.c.runs[k]) ? 1 : 0);
  return m;
}

// Time of day over a whole built grid: a run's minutes step evenly from its first, so the
// rows in [f, t) are one or two ranges of it.
Mask time_of_day_ranges(const Calendar& c, std::int64_t f, std::int64_t t) {
  Mask m(c.size(), 0);
  for (std::size_t k = 0; k < c.runs.size(); ++k) {
    const auto a = static_cast<std::size_t>(c.runs[k].first_row);
    const auto len = static_cast<std::int64_t>(c.run_end(k) - a);
    const std::int64_t m0 = c.runs[k].first_minute;
    // The first row of the run at or after minute x.
    auto from = [&](std::int64_t x) {
      return std::clamp<std::int64_t>(-floor_div(m0 - x, kStepMinutes), 0, len);
    };
    auto fill = [&](std::int64_t lo, std::int64_t hi) {
      if (lo < hi)
        std::fill(m.begin() + static_cast<std::ptrdiff_t>(a) + lo,
                  m.begin() + static_cast<std::ptrdiff_t>(a) + hi, 1);
    };
    if (f > t) {
      fill(0, from(t));
      fill(from(f), len);
    } else {
      fill(from(f), from(t));
    }
  }
  return m;
}

std::uint64_t bit_set(const std::vector<std::int64_t>& values) {
  std::uint64_t bits = 0;
  for (std::int64_t x : values)
    if (x >= 0 && x < 64) bits |= std::uint64_t{1} << x;
  return bits;
}

bool in_bits(std::uint64_t bits, std::int64_t x) {
  return x >= 0 && x < 64 && ((bits >> x) & 1U) != 0;
}

// m &= s (or m |= s) element by element. Through restrict pointers and a size read once: a
// byte store could otherwise alias the vector's own fields, which keeps the loop scalar.
void combine(Mask& m, const Mask& s, bool both) {
  std::uint8_t* __restrict out = m.data();
  const std::uint8_t* __restrict in = s.data();
  const std::size_t n = m.size();
  if (both)
    for (std::size_t i = 0; i < n; ++i) out[i] &= in[i];
  else
    for (std::size_t i = 0; i < n; ++i) out[i] |= in[i];
}

Mask evaluate(const View& v, const TimeCondition& c, std::span<const HolidayDate> holidays) {
  switch (c.kind) {
    case Kind::Month: {
      const std::uint64_t bits = bit_set(c.values);
      return per_date(v, [&](const DayRun& d) { return in_bits(bits, d.month); });
    }
    case Kind::DayOfWeek: {
      const std::uint64_t bits = bit_set(c.values);
      return per_date(v, [&](const DayRun& d) { return in_bits(bits, d.day_of_week); });
    }
    case Kind::TimeOfDay: {
      const std::int64_t f = c.from_minute, to = c.to_minute;
      if (v.all && v.c.derived()) return time_of_day_ranges(v.c, f, to);
      return per_row(
          v, [&](std::int64_t m) { return f > to ? (m >= f || m < to) : (m >= f && m < to); });
    }
    case Kind::ExcludeHolidays: {
      std::vector<std::int64_t> excluded;
      for (const auto& h : holidays)
        if (std::find(c.holidays.begin(), c.holidays.end(), h.holiday) != c.holidays.end())
          excluded.push_back(h.date);
      std::sort(excluded.begin(), excluded.end());
      return per_date(v, [&](const DayRun& d) {
        return !std::binary_search(excluded.begin(), excluded.end(), std::int64_t{d.date});
      });
    }
    case Kind::And: {
      Mask m(v.size(), 1);
      for (const auto& sub : c.children) combine(m, evaluate(v, sub, holidays), true);
      return m;
    }
    case Kind::Or: {
      Mask m(v.size(), 0);
      for (const auto& sub : c.children) combine(m, evaluate(v, sub, holidays), false);
      return m;
    }
    case Kind::Not: {
      Mask m = evaluate(v, c.children.at(0), holidays);
      std::uint8_t* __restrict out = m.data();
      for (std::size_t i = 0, n = m.size(); i < n; ++i) out[i] ^= 1;
      return m;
    }
  }
  return Mask(v.size(), 0);
}

}  // namespace

void check_condition_field(const char* what, std::string_view value, bool in_range, std::int64_t lo,
                           std::int64_t hi) {
  if (in_range) return;
  value_error(concat(what, " ", value,
                     " is out of range " + std::to_string(lo) + ".." + std::to_string(hi)));
}

void check_condition_nesting(std::size_t depth, bool repeated) {
  if (repeated) value_error("condition contains itself");
  if (depth >= kMaxConditionDepth)
    value_error("conditions nested deeper than " + std::to_string(kMaxConditionDepth) + " levels");
}

void unknown_condition(std::string_view type_name) {
  fail(ErrorKind::NotImplemented, concat("Unknown time condition type: ", type_name));
}

Mask match(const Calendar& calendar, const TimeCondition& c,
           std::span<const HolidayDate> holidays) {
  return evaluate(whole(calendar), c, holidays);
}

Mask match_rows(const Calendar& calendar, std::span<const std::int64_t> rows,
                const TimeCondition& c, std::span<const HolidayDate> holidays) {
  return evaluate(selection(calendar, rows), c, holidays);
}

}  // namespace ostrel::core::timeline
