#include "core/calendar/conditions.hpp"

#include <algorithm>

namespace ostrel::core::calendar {

namespace {

using Kind = TimeCondition::Kind;

// Row r of the evaluated view: the identity over a whole table, or a selection of rows.
struct View {
  const Accessors& t;
  std::span<const std::int64_t> rows;
  bool all;
  std::size_t size() const { return all ? t.size() : rows.size(); }
  std::size_t row(std::size_t i) const { return all ? i : static_cast<std::size_t>(rows[i]); }
};

template <typename Test>
Mask per_row(const View& v, Test test) {
  Mask m(v.size());
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = test(v.row(i)) ? 1 : 0;
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
      return per_row(v, [&](std::size_t r) { return in_bits(bits, v.t.month[r]); });
    }
    case Kind::DayOfWeek: {
      const std::uint64_t bits = bit_set(c.values);
      return per_row(v, [&](std::size_t r) { return in_bits(bits, v.t.day_of_week[r]); });
    }
    case Kind::TimeOfDay: {
      const std::int64_t f = c.from_minute, to = c.to_minute;
      return per_row(v, [&](std::size_t r) {
        const std::int64_t m = v.t.hour[r] * 60 + v.t.minute[r];
        return f > to ? (m >= f || m < to) : (m >= f && m < to);
      });
    }
    case Kind::ExcludeHolidays: {
      std::vector<std::int64_t> excluded;
      for (const auto& h : holidays)
        if (std::find(c.holidays.begin(), c.holidays.end(), h.holiday) != c.holidays.end())
          excluded.push_back(h.date);
      std::sort(excluded.begin(), excluded.end());
      // Dates come in long runs; look each run up once.
      std::int64_t last = INT64_MIN;
      bool last_excluded = false;
      return per_row(v, [&](std::size_t r) {
        const std::int64_t d = v.t.date[r];
        if (d != last) {
          last = d;
          last_excluded = std::binary_search(excluded.begin(), excluded.end(), d);
        }
        return !last_excluded;
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

Mask match(const Accessors& table, const TimeCondition& c, std::span<const HolidayDate> holidays) {
  return evaluate(View{table, {}, true}, c, holidays);
}

Mask match_rows(const Accessors& table, std::span<const std::int64_t> rows, const TimeCondition& c,
                std::span<const HolidayDate> holidays) {
  return evaluate(View{table, rows, false}, c, holidays);
}

}  // namespace ostrel::core::calendar
