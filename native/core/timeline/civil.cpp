#include "core/timeline/civil.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "core/common/errors.hpp"

namespace ostrel::core::timeline {

std::int64_t unit_ns_of(std::string_view unit) {
  if (unit == "ns") return 1;
  if (unit == "us") return 1000;
  if (unit == "ms") return 1'000'000;
  if (unit == "s") return kNsPerSecond;
  return 0;
}

bool scale_to_ns(std::span<const std::int64_t> raw, std::int64_t unit_ns,
                 std::span<std::int64_t> out) {
  constexpr std::int64_t missing = std::numeric_limits<std::int64_t>::min();
  bool overflow = false;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == missing)
      out[i] = missing;
    else
      overflow |= __builtin_mul_overflow(raw[i], unit_ns, &out[i]);
  }
  return !overflow;
}

std::optional<std::int64_t> ns_of_us(std::int64_t us, std::int64_t extra_ns) {
  std::int64_t ns = 0;
  if (__builtin_mul_overflow(us, std::int64_t{1000}, &ns) ||
      __builtin_add_overflow(ns, extra_ns, &ns) || ns == std::numeric_limits<std::int64_t>::min())
    return std::nullopt;
  return ns;
}

std::string utc_text(std::int64_t ns) {
  const std::int64_t day = floor_div(ns, kNsPerDay);
  const std::int64_t within = ns - day * kNsPerDay;
  const CivilDate d = civil_from_days(day);
  const std::int64_t seconds = within / kNsPerSecond, fraction = within % kNsPerSecond;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld",
                static_cast<long long>(d.year), static_cast<long long>(d.month),
                static_cast<long long>(d.day), static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  std::string out(buf);
  if (fraction) {
    std::snprintf(buf, sizeof buf, ".%09lld", static_cast<long long>(fraction));
    out += buf;
  }
  return out + "Z";
}

void check_variables_at(std::span<const std::int64_t> instants,
                        std::span<const std::int64_t> periods, const std::string& prefix,
                        const char* holder) {
  const size_t n = std::min(instants.size(), periods.size());
  for (size_t i = 0; i < n; ++i)
    if (instants[i] != periods[i])
      value_error(prefix + ": a variable at " + utc_text(instants[i]) + " where the " + holder +
                  " has the period starting " + utc_text(periods[i]));
}

}  // namespace ostrel::core::timeline
