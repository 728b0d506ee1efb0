#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"

namespace nb = nanobind;

NB_MODULE(expiry_cache, m) { ostrel::bindings::init_common(m); }
