#include "core/timeline/timezone.hpp"

#include <cctype>

#include "core/common/errors.hpp"

namespace ostrel::core::timeline {

std::optional<long long> parse_host_int(std::string_view text) {
  auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  long long sign = 1;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    if (text.front() == '-') sign = -1;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  long long value = 0;
  bool prev_digit = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      if (!prev_digit || i + 1 == text.size()) return std::nullopt;
      prev_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (value > 1'000'000'000'000LL) return std::nullopt;  // far beyond any offset
    value = value * 10 + (c - '0');
    prev_digit = true;
  }
  if (!prev_digit) return std::nullopt;
  return sign * value;
}

std::optional<long long> parse_utc_offset_minutes(std::string_view text) {
  const bool checks = assertions_enabled();
  if (checks && text.size() != 9) return std::nullopt;
  if (checks && text.substr(0, 4) != "UTC+" && text.substr(0, 4) != "UTC-") return std::nullopt;
  if (text.size() < 4) return std::nullopt;  // no sign character to read
  const long long sign = text[3] == '+' ? 1 : -1;
  const std::string_view rest = text.substr(4);
  const auto colon = rest.find(':');
  if (colon == std::string_view::npos || rest.find(':', colon + 1) != std::string_view::npos)
    return std::nullopt;
  const auto hours = parse_host_int(rest.substr(0, colon));
  const auto minutes = parse_host_int(rest.substr(colon + 1));
  if (!hours || !minutes) return std::nullopt;
  if (checks && (sign * *hours < -12 || sign * *hours > 14)) return std::nullopt;
  if (checks && (*minutes < 0 || *minutes > 59)) return std::nullopt;
  const long long total = sign * (*hours * 60 + *minutes);
  // The host's fixed offsets must lie strictly within one day.
  if (total <= -24 * 60 || total >= 24 * 60) return std::nullopt;
  return total;
}

void offset_not_timedelta() { fail(ErrorKind::Type, "utcoffset() must return a timedelta"); }

void fromutc_not_datetime() { fail(ErrorKind::Type, "fromutc() must return a datetime"); }

void naive_and_aware(std::string_view operation) {
  fail(ErrorKind::Type, concat("can't ", operation, " offset-naive and offset-aware datetimes"));
}

void naive_index() { fail(ErrorKind::Type, "index must be time-zone aware"); }

void outside_host_dates() { value_error("instant outside the host's date range"); }

}  // namespace ostrel::core::timeline
