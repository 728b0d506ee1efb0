#include "core/common/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace ostrel::core {

std::string repr_str(std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back(quote);
  for (unsigned char c : s) {
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back(quote);
  return out;
}

std::string repr_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += repr_str(items[i]);
  }
  out += "]";
  return out;
}

std::string repr_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Shortest round-trip digits, then the host's layout: scientific below 1e-4 or from 1e16.
  char digits[32];
  auto res = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::scientific);
  std::string sci(digits, res.ptr);
  const auto epos = sci.find('e');
  std::string mant = sci.substr(0, epos);
  const int exp = std::stoi(sci.substr(epos + 1));
  std::string sign;
  if (!mant.empty() && mant[0] == '-') {
    sign = "-";
    mant.erase(0, 1);
  }
  std::string ds;
  for (char c : mant)
    if (c != '.') ds.push_back(c);
  if (exp < -4 || exp >= 16) {
    std::string m = ds.substr(0, 1);
    if (ds.size() > 1) m += "." + ds.substr(1);
    char eb[16];  // room for any int exponent
    std::snprintf(eb, sizeof eb, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    return sign + m + eb;
  }
  std::string out;
  if (exp < 0) {
    out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + ds;
  } else if (static_cast<size_t>(exp + 1) >= ds.size()) {
    out = ds + std::string(static_cast<size_t>(exp + 1) - ds.size(), '0') + ".0";
  } else {
    out =
        ds.substr(0, static_cast<size_t>(exp + 1)) + "." + ds.substr(static_cast<size_t>(exp + 1));
  }
  return sign + out;
}

std::string record_text(std::string_view name,
                        const std::vector<std::pair<std::string_view, std::string>>& fields) {
  std::string text(name);
  text += "(";
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (k > 0) text += ", ";
    text.append(fields[k].first).append("=").append(fields[k].second);
  }
  return text + ")";
}

}  // namespace ostrel::core
