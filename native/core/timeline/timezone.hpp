#pragma once
// Parsing of fixed UTC offsets written as "UTC+01:00".
#include <optional>
#include <string_view>

namespace ostrel::core::timeline {

// The signed offset in minutes of a fixed-offset zone name, or nothing when the text is not
// one. The length, prefix and range rules are assertion-kind: they are not applied when
// assertions are off, and then only the hour and minute fields must read as integers.
std::optional<long long> parse_utc_offset_minutes(std::string_view text);

// The host's integer syntax: surrounding whitespace, an optional sign, decimal digits with
// single underscores between them.
std::optional<long long> parse_host_int(std::string_view text);

// What a host zone or date-time gives that the engine cannot use: TypeError "utcoffset() must
// return a timedelta", "fromutc() must return a datetime", "can't <operation> offset-naive and
// offset-aware datetimes", "index must be time-zone aware"; ValueError "instant outside the
// host's date range".
[[noreturn]] void offset_not_timedelta();
[[noreturn]] void fromutc_not_datetime();
[[noreturn]] void naive_and_aware(std::string_view operation);
[[noreturn]] void naive_index();
[[noreturn]] void outside_host_dates();

}  // namespace ostrel::core::timeline
