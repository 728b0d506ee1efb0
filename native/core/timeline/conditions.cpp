#include "core/timeline/conditions.hpp"

#include <algorithm>

namespace ostrel::core::timeline {

namespace {

using Kind = TimeCondition::Kind;

// Row r of the evaluated view: the identity over a whole table, or a selection of rows.
struct View {
  const Accessors& t;
  std::span<const std::int64_t> rows;
  bool all;
  std::span<const std::int32_t> date_runs;  // with `all`: first row of each run of one date
  std::size_t size() const { return all ? t.size() : rows.size(); }
  std::size_t row(std::size_t i) const { return all ? i : static_cast<std::size_t>(rows[i]); }
};

template <typename Test>
Mask per_row(const View& v, Test test) {
  Mask m(v.size());
  if (v.all) {
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = test(i) ? 1 : 0;
  } else {
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = test(v.row(i)) ? 1 : 0;
  }
  return m;
}

// A test that depends on the local date only. Over a whole table it is made once per run of
// rows sharing a date (96 rows on most days), not once per row.
template <typename Test>
Mask per_date(const View& v, Test test) {
  if (!v.all) return per_row(v, test);
  const std::size_t n = v.t.size(), runs = v.date_runs.size();
  Mask m(n);
  for (std::size_t k = 0; k < runs; ++k) {
    const auto i = static_cast<std::size_t>(v.date_runs[k]);
    const std::size_t j = k + 1 < runs ? static_cast<std::size_t>(v.date_runs[k + 1]) : n;
    std::fill(m.begin() + static_cast<std::ptrdiff_t>(i),
              m.begin() + static_cast<std::ptrdiff_t>(j), test(i) ? 1 : 0);
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

Mask evaluate(const View& v, const TimeCondition& c, std::span<const HolidayDate> holidays) {
  switch (c.kind) {
    case Kind::Month: {
      const std::uint64_t bits = bit_set(c.values);
      return per_date(v, [&](std::size_t r) { return in_bits(bits, v.t.month[r]); });
    }
    case Kind::DayOfWeek: {
      const std::uint64_t bits = bit_set(c.values);
      return per_date(v, [&](std::size_t r) { return in_bits(bits, v.t.day_of_week[r]); });
    }
    case Kind::TimeOfDay: {
      const int f = static_cast<int>(c.from_minute), to = static_cast<int>(c.to_minute);
      if (!v.all) {
        return per_row(v, [&](std::size_t r) {
          const int m = v.t.hour[r] * 60 + v.t.minute[r];
          return f > to ? (m >= f || m < to) : (m >= f && m < to);
        });
      }
      // Over a whole table: plain loops over the columns, which vectorise.
      Mask out(v.size());
      const std::int8_t* __restrict hour = v.t.hour.data();
      const std::int8_t* __restrict minute = v.t.minute.data();
      std::uint8_t* __restrict o = out.data();
      const std::size_t n = out.size();
      if (f > to) {
        for (std::size_t i = 0; i < n; ++i) {
          const int m = hour[i] * 60 + minute[i];
          o[i] = static_cast<std::uint8_t>((m >= f) | (m < to));
        }
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          const int m = hour[i] * 60 + minute[i];
          o[i] = static_cast<std::uint8_t>((m >= f) & (m < to));
        }
      }
      return out;
    }
    case Kind::ExcludeHolidays: {
      std::vector<std::int64_t> excluded;
      for (const auto& h : holidays)
        if (std::find(c.holidays.begin(), c.holidays.end(), h.holiday) != c.holidays.end())
          excluded.push_back(h.date);
      std::sort(excluded.begin(), excluded.end());
      return per_date(v, [&](std::size_t r) {
        return !std::binary_search(excluded.begin(), excluded.end(), std::int64_t{v.t.date[r]});
      });
    }
    case Kind::And: {
      Mask m(v.size(), 1);
      for (const auto& sub : c.children) {
        const Mask s = evaluate(v, sub, holidays);
        for (std::size_t i = 0; i < m.size(); ++i) m[i] &= s[i];
      }
      return m;
    }
    case Kind::Or: {
      Mask m(v.size(), 0);
      for (const auto& sub : c.children) {
        const Mask s = evaluate(v, sub, holidays);
        for (std::size_t i = 0; i < m.size(); ++i) m[i] |= s[i];
      }
      return m;
    }
    case Kind::Not: {
      Mask m = evaluate(v, c.children.at(0), holidays);
      for (auto& x : m) x ^= 1;
      return m;
    }
  }
  return Mask(v.size(), 0);
}

}  // namespace

Mask match(const Accessors& table, std::span<const std::int32_t> date_runs, const TimeCondition& c,
           std::span<const HolidayDate> holidays) {
  return evaluate(View{table, {}, true, date_runs}, c, holidays);
}

std::vector<std::int32_t> date_runs(const Accessors& table) {
  std::vector<std::int32_t> runs;
  for (std::size_t i = 0; i < table.size(); ++i)
    if (i == 0 || table.date[i] != table.date[i - 1]) runs.push_back(static_cast<std::int32_t>(i));
  return runs;
}

Mask match_rows(const Accessors& table, std::span<const std::int64_t> rows, const TimeCondition& c,
                std::span<const HolidayDate> holidays) {
  return evaluate(View{table, rows, false, {}}, c, holidays);
}

}  // namespace ostrel::core::timeline
