#pragma once
// The optimisation layer's array helpers are the common conversion unit.
#include "bindings/common/convert.hpp"

namespace ostrel::bindings::engine {
namespace arrays = ::ostrel::bindings::convert;
}  // namespace ostrel::bindings::engine
