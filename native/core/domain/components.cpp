#include "core/domain/components.hpp"

#include <set>

#include "core/common/errors.hpp"
#include "core/common/text.hpp"

namespace ostrel::core::domain {

namespace {
std::vector<std::string> sorted(const std::set<std::string>& s) { return {s.begin(), s.end()}; }
}  // namespace

void validate_pipeline(const std::vector<std::string>& dataset_ids,
                       const std::vector<PipelineStep>& steps, const std::string& cost_id) {
  std::set<std::string> seen, duplicates;
  for (const auto& id : dataset_ids)
    if (!seen.insert(id).second) duplicates.insert(id);
  if (!duplicates.empty()) value_error("Duplicate dataset id(s): " + repr_list(sorted(duplicates)));

  std::set<std::string> available = seen, used;
  for (size_t i = 0; i < steps.size(); ++i) {
    const auto& step = steps[i];
    const std::string where = "Function " + std::to_string(i) + " (" + step.type + ")";
    for (const auto& id : step.input_ids) {
      if (!available.count(id))
        value_error(where + " references unknown input '" + id +
                    "'. Available datasets: " + repr_list(sorted(available)));
      used.insert(id);
    }
    if (!available.insert(step.output_id).second)
      value_error(where + " produces output '" + step.output_id +
                  "' that conflicts with an existing dataset or function output");
  }
  if (!available.count(cost_id))
    value_error("Pipeline cost dataset '" + cost_id +
                "' is not produced by any function or dataset. Available datasets: " +
                repr_list(sorted(available)));
  std::set<std::string> unused;
  for (const auto& id : available)
    if (!used.count(id) && id != cost_id) unused.insert(id);
  if (!unused.empty()) value_error("Dataset(s) " + repr_list(sorted(unused)) + " are never used");
}

}  // namespace ostrel::core::domain
