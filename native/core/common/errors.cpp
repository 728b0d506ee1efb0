#include "core/common/errors.hpp"

namespace ostrel::core {
namespace {
bool g_assertions = true;
}
bool assertions_enabled() noexcept { return g_assertions; }
void set_assertions_enabled(bool enabled) noexcept { g_assertions = enabled; }
}  // namespace ostrel::core
