#include "core/logic/inputs.hpp"

#include "core/common/errors.hpp"

namespace ostrel::core::logic {

namespace {
std::string text(std::string_view s) { return std::string(s); }
}  // namespace

std::string input_dataset_name(std::string_view id_repr) {
  return "input dataset " + text(id_repr);
}

std::string refused_input_message(std::string_view id_repr, std::string_view error_text) {
  return input_dataset_name(id_repr) + ": " + text(error_text);
}

void not_a_mapping(std::string_view what, std::string_view type_name) {
  fail(ErrorKind::Type,
       text(what) + ": expected a dict of datetime to float, got " + text(type_name));
}

void key_not_a_datetime(std::string_view what, std::string_view key_repr,
                        std::string_view type_name) {
  fail(ErrorKind::Type,
       text(what) + ": key " + text(key_repr) + " is not a datetime (got " + text(type_name) + ")");
}

void naive_key(std::string_view what, std::string_view key_repr) {
  fail(ErrorKind::Type, text(what) + ": key " + text(key_repr) +
                            " is a naive datetime; keys must be time-zone aware");
}

void value_not_a_number(std::string_view what, std::string_view key_repr,
                        std::string_view type_name) {
  fail(ErrorKind::Type, text(what) + ": value at " + text(key_repr) + " is not a number (got " +
                            text(type_name) + ")");
}

void instant_out_of_range(std::string_view what, std::string_view key_repr) {
  fail(ErrorKind::Value,
       text(what) + ": " + text(key_repr) + " is outside the representable range of instants");
}

void instant_outside_range(std::string_view key_repr) {
  fail(ErrorKind::Value, "timestamp " + text(key_repr) +
                             " is outside the range of instants the engine represents "
                             "(1677-09-21 00:12:43.145224193 to 2262-04-11 23:47:16.854775807 "
                             "UTC)");
}

void missing_instant_key() {
  fail(ErrorKind::Value, "a missing instant (NaT) cannot be a map key");
}

void unpaired_keys(std::size_t keys, std::size_t values) {
  fail(ErrorKind::Value,
       "cannot pair " + std::to_string(keys) + " keys with " + std::to_string(values) + " values");
}

}  // namespace ostrel::core::logic
