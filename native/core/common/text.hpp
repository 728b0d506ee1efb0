#pragma once
// Host-style text renderings used in the system's messages.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostrel::core {

// A string as the host prints it inside a list: single-quoted unless it holds a single
// quote and no double quote, with backslashes and control characters escaped.
std::string repr_str(std::string_view s);

// ['a', 'b'] : the host's rendering of a list of strings.
std::string repr_list(const std::vector<std::string>& items);

// The host's shortest round-trip float rendering: 100.0, 0.5, 1e-05, inf, nan.
std::string repr_float(double value);

// Name(field=repr, ...): a value record as the host shows it, from its fields' own reprs.
std::string record_text(std::string_view name,
                        const std::vector<std::pair<std::string_view, std::string>>& fields);

}  // namespace ostrel::core
