#pragma once
// The facade's class: it holds only the API client made from the caller's key.
#include <nanobind/nanobind.h>

#include "bindings/common/convert.hpp"

namespace ostrel::bindings::logic {
namespace nb = nanobind;

struct LogicBindings {
  nb::object client;
};

// Shared by the facade's method bindings.
using convert::truth;
// Coroutine methods that build solver models: add_to_highs_model, add_to_gurobi_model and
// _add_tariff_cost_to_model.
void init_model_methods(nb::class_<LogicBindings>& cls);

}  // namespace ostrel::bindings::logic
