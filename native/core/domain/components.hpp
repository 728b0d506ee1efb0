#pragma once
// Wiring checks of a tariff component's pipeline: every step reads only inputs and earlier
// outputs, no output overwrites another, the cost is produced and nothing is computed in vain.
#include <string>
#include <vector>

namespace ostrel::core::domain {

struct PipelineStep {
  std::string type;                    // the block's tag, for messages
  std::vector<std::string> input_ids;  // ids of the datasets the step reads
  std::string output_id;
};

// Throws a value error with the first failing check's message.
void validate_pipeline(const std::vector<std::string>& dataset_ids,
                       const std::vector<PipelineStep>& steps, const std::string& cost_id);

}  // namespace ostrel::core::domain
