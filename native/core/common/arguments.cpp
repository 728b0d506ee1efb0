#include "core/common/arguments.hpp"

#include <optional>
#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core {

namespace {

[[noreturn]] void type_error(const std::string& message) { fail(ErrorKind::Type, message); }

[[noreturn]] void count_error(const Signature& sig, size_t given) {
  size_t required = 0;
  for (const auto& p : sig.positional) required += p.required ? 1 : 0;
  const size_t total = sig.positional.size();
  if (required == total) positional_count(sig.function, "exactly", total, given);
  if (given < required) positional_count(sig.function, "at least", required, given);
  positional_count(sig.function, "at most", total, given);
}

// The place of `name` among the keywords given, if it is there.
std::optional<size_t> keyword_at(std::span<const std::string_view> keywords,
                                 std::string_view name) {
  for (size_t k = 0; k < keywords.size(); ++k)
    if (keywords[k] == name) return k;
  return std::nullopt;
}

bool declared(const Signature& sig, std::string_view name) {
  for (const auto& p : sig.positional)
    if (name == p.name) return true;
  for (const auto& p : sig.keyword_only)
    if (name == p.name) return true;
  return false;
}

}  // namespace

void naive_datetime(std::string_view what) {
  type_error(concat(what, " must be a time-zone aware date-time"));
}

std::vector<Source> bind_arguments(const Signature& sig, size_t given,
                                   std::span<const std::string_view> keywords) {
  using From = Source::From;
  const size_t npos = sig.positional.size();
  if (given > npos) count_error(sig, given);
  std::vector<Source> out(npos + sig.keyword_only.size());
  for (size_t i = 0; i < given; ++i) out[i] = {From::Positional, i};
  for (size_t i = 0; i < npos; ++i) {
    const std::optional<size_t> k = keyword_at(keywords, sig.positional[i].name);
    if (!k) continue;
    if (i < given) multiple_values(sig.function, sig.positional[i].name);
    out[i] = {From::Keyword, *k};
  }
  for (size_t j = 0; j < sig.keyword_only.size(); ++j)
    if (const std::optional<size_t> k = keyword_at(keywords, sig.keyword_only[j].name))
      out[npos + j] = {From::Keyword, *k};
  for (std::string_view key : keywords)
    if (!declared(sig, key)) unexpected_keyword(sig.function, key);
  size_t present = 0;
  for (size_t i = 0; i < npos; ++i) present += out[i].from != From::Absent ? 1 : 0;
  for (size_t i = 0; i < npos; ++i)
    if (sig.positional[i].required && out[i].from == From::Absent) count_error(sig, present);
  for (size_t j = 0; j < sig.keyword_only.size(); ++j)
    if (sig.keyword_only[j].required && out[npos + j].from == From::Absent)
      needs_keyword_only(sig.function, sig.keyword_only[j].name);
  return out;
}

void incorrect_type(std::string_view name, std::string_view expected, std::string_view got) {
  type_error(
      concat("Argument '", name, "' has incorrect type (expected ", expected, ", got ", got, ")"));
}

void positional_count(std::string_view function, std::string_view how, size_t expected,
                      size_t given) {
  type_error(concat(function, "() takes ", how, " ", std::to_string(expected),
                    expected == 1 ? " positional argument (" : " positional arguments (",
                    std::to_string(given), " given)"));
}

void unexpected_keyword(std::string_view function, std::string_view key) {
  type_error(concat(function, "() got an unexpected keyword argument '", key, "'"));
}

void multiple_values(std::string_view function, std::string_view name) {
  type_error(concat(function, "() got multiple values for keyword argument '", name, "'"));
}

void needs_keyword_only(std::string_view function, std::string_view name) {
  type_error(concat(function, "() needs keyword-only argument ", name));
}

void must_be(std::string_view what, std::string_view expected, std::string_view got) {
  type_error(concat(what, " must be ", expected, ", got ", got));
}

}  // namespace ostrel::core
