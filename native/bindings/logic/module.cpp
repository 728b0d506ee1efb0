#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"

namespace nb = nanobind;

NB_MODULE(logic, m) { ostrel::bindings::init_common(m); }
