#pragma once
// The messages of caller mappings that cannot become series: each names the mapping (for
// example "input dataset 'consumption'") and the offending key.
#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel::core::logic {

// "input dataset 'consumption'" from the printed id.
std::string input_dataset_name(std::string_view id_repr);
// "input dataset 'x': <what the adapter said>", the error of variables an adapter refuses.
std::string refused_input_message(std::string_view id_repr, std::string_view error_text);

[[noreturn]] void not_a_mapping(std::string_view what, std::string_view type_name);
[[noreturn]] void key_not_a_datetime(std::string_view what, std::string_view key_repr,
                                     std::string_view type_name);
[[noreturn]] void naive_key(std::string_view what, std::string_view key_repr);
[[noreturn]] void value_not_a_number(std::string_view what, std::string_view key_repr,
                                     std::string_view type_name);
[[noreturn]] void instant_out_of_range(std::string_view what, std::string_view key_repr);
// ValueError naming a timestamp beyond the nanosecond instants and the range they cover.
[[noreturn]] void instant_outside_range(std::string_view key_repr);
// Result maps: a missing instant cannot be a key; keys and values pair one to one.
[[noreturn]] void missing_instant_key();
[[noreturn]] void unpaired_keys(std::size_t keys, std::size_t values);

}  // namespace ostrel::core::logic
