#pragma once
// The facade's class: it holds only the API client made from the caller's key.
#include <nanobind/nanobind.h>

namespace ostrel::bindings::logic {
namespace nb = nanobind;

struct LogicBindings {
  nb::object client;
};

}  // namespace ostrel::bindings::logic
