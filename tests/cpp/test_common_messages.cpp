// The host-style argument errors and parsing of domain values composed by the core: exact texts
// and the host exception kind each becomes.
#include <gtest/gtest.h>

#include <string>

#include "core/common/arguments.hpp"
#include "core/common/errors.hpp"
#include "core/domain/units.hpp"
#include "core/kernels/kernels.hpp"
#include "expect_error.hpp"

using ostrel::core::Error;
using ostrel::core::ErrorKind;
namespace cd = ostrel::core::domain;

TEST(CommonMessages, HostArgumentErrors) {
  expect_error([] { ostrel::core::incorrect_type("data", "dict", "list"); }, ErrorKind::Type,
               "Argument 'data' has incorrect type (expected dict, got list)");
  expect_error([] { ostrel::core::positional_count("f", "exactly", 1, 2); }, ErrorKind::Type,
               "f() takes exactly 1 positional argument (2 given)");
  expect_error([] { ostrel::core::positional_count("f", "at least", 2, 0); }, ErrorKind::Type,
               "f() takes at least 2 positional arguments (0 given)");
  expect_error([] { ostrel::core::unexpected_keyword("f", "x"); }, ErrorKind::Type,
               "f() got an unexpected keyword argument 'x'");
  expect_error([] { ostrel::core::multiple_values("f", "x"); }, ErrorKind::Type,
               "f() got multiple values for keyword argument 'x'");
  expect_error([] { ostrel::core::needs_keyword_only("f", "use_cache"); }, ErrorKind::Type,
               "f() needs keyword-only argument use_cache");
}

TEST(CommonMessages, UnitsAndResolutionsParseTheirValuesOnly) {
  EXPECT_EQ(cd::parse_unit("kWh"), cd::Unit::KWH);
  EXPECT_EQ(cd::parse_resolution("hourly"), cd::Resolution::HOURLY);
  expect_error([] { cd::parse_unit("KWH"); }, ErrorKind::Value, "'KWH' is not a valid Unit");
  expect_error([] { cd::parse_resolution("HOURLY"); }, ErrorKind::Value,
               "'HOURLY' is not a valid Resolution");
}

TEST(CommonMessages, ArrayChecks) {
  namespace ck = ostrel::core::kernels;
  expect_error([] { ck::wrong_dtype("float64", "float32"); }, ErrorKind::Value,
               "array must be float64, got float32");
  expect_error([] { ck::not_one_dimensional(2); }, ErrorKind::Value, "array must be 1-D, got 2-D");
  expect_error([] { ck::broadcast_error(3, 2); }, ErrorKind::Value,
               "operands could not be broadcast together with shapes (3,) (2,)");
  const bool on = ostrel::core::assertions_enabled();
  ostrel::core::set_assertions_enabled(true);
  expect_error([] { ck::check_broadcast_length(4, 3); }, ErrorKind::Assertion,
               "broadcast: expected length 4, got 3");
  ostrel::core::set_assertions_enabled(false);
  EXPECT_NO_THROW(ck::check_broadcast_length(4, 3));  // skipped when the host runs optimised
  ostrel::core::set_assertions_enabled(on);
}
