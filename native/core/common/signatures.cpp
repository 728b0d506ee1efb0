#include "core/common/signatures.hpp"

namespace ostrel::core {

namespace {

// The type of a block method's parameter, by its name; compile also takes variable series.
std::string_view parameter_type(std::string_view param, bool compile) {
  if (param == "timeline") return "Timeline";
  if (param == "next_available_col") return "int";
  if (param == "assume_convex") return "bool";
  if (param == "input" || param == "tier_selector")
    return compile ? "VariableSeries | pandas.Series" : "pandas.Series";
  if (param == "minimum" || param == "maximum")
    return compile ? "VariableSeries | pandas.Series | float | None"
                   : "pandas.Series | float | None";
  return compile ? "VariableSeries | pandas.Series | float" : "pandas.Series | float";
}

}  // namespace

std::string signature_from_doc(std::string_view n, std::string_view d) {
  if (d.substr(0, n.size()) != n || d.size() <= n.size() || d[n.size()] != '(') return {};
  const size_t close = d.find("): ");
  if (close == std::string_view::npos) return {};
  const std::string_view params = d.substr(n.size() + 1, close - n.size() - 1);
  const bool compile = n == "compile";
  const bool block_method = compile || n == "compute";
  std::string out = "def ";
  out += n;
  out += "(self";
  size_t start = 0;
  while (start < params.size()) {
    size_t end = params.find(", ", start);
    if (end == std::string_view::npos) end = params.size();
    const std::string_view param = params.substr(start, end - start);
    out += ", ";
    const size_t eq = param.find('=');
    const std::string_view bare = param.substr(0, eq).substr(param.starts_with("**") ? 2 : 0);
    if (!block_method || param == "*" || bare.empty()) {
      out += param;
    } else {
      out += param.substr(0, eq);
      out += ": ";
      out += parameter_type(bare, compile);
      if (eq != std::string_view::npos) out += " = " + std::string(param.substr(eq + 1));
    }
    start = end + 2;
  }
  out += ")";
  if (block_method) out += compile ? " -> FunctionBlock" : " -> pandas.Series";
  return out;
}

}  // namespace ostrel::core
