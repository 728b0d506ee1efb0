// Position normalisation and group bookkeeping of the optimisation layer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"
#include "expect_error.hpp"

namespace co = ostrel::core::optimisation;
using ostrel::core::ErrorKind;

TEST(OptimisationArguments, NegativePositionsCountFromTheEnd) {
  const std::vector<int64_t> p{0, -1, 2, -3};
  EXPECT_EQ(co::normalise_positions(p, 3), (std::vector<int64_t>{0, 2, 2, 0}));
  const std::vector<int64_t> out{3};
  expect_error([&] { co::normalise_positions(out, 3); }, ErrorKind::Index,
               "index 3 is out of bounds for axis 0 with size 3");
  const std::vector<int64_t> under{-4};
  expect_error([&] { co::normalise_positions(under, 3); }, ErrorKind::Index,
               "index -4 is out of bounds for axis 0 with size 3");
}

TEST(OptimisationArguments, FirstPositionsOfDenseGroups) {
  const std::vector<int64_t> a{1, 1, 0, 2, 0, 2};
  EXPECT_EQ(co::first_positions(a), (std::vector<int64_t>{2, 0, 3}));
  EXPECT_TRUE(co::first_positions(std::vector<int64_t>{}).empty());
}

TEST(OptimisationArguments, GroupNumbersMustBeDenseAndNonNegative) {
  const std::vector<int64_t> gap{0, 2};
  expect_error([&] { co::first_positions(gap); }, ErrorKind::Value, "group numbers must be dense");
  const std::vector<int64_t> negative{0, -1, int64_t{1} << 60};
  expect_error([&] { co::first_positions(negative); }, ErrorKind::Value,
               "group numbers must be >= 0");
  // A huge label is refused without allocating a slot per group number.
  const std::vector<int64_t> huge{0, int64_t{1} << 60};
  expect_error([&] { co::first_positions(huge); }, ErrorKind::Value, "group numbers must be dense");
}

TEST(OptimisationArguments, Messages) {
  expect_error([] { co::check_positional_count("f", 3, 5, 2); }, ErrorKind::Type,
               "f() takes from 3 to 5 positional arguments but 2 were given");
  EXPECT_NO_THROW(co::check_positional_count("f", 3, 5, 5));
  expect_error([] { co::not_variable_series("gate", "float"); }, ErrorKind::Type,
               "gate must be a VariableSeries, got float");
  expect_error([] { co::check_mask_length(3, 2); }, ErrorKind::Index,
               "boolean index did not match indexed array along axis 0; size of axis is 3 but "
               "size of corresponding boolean axis is 2");
  EXPECT_EQ(co::own_groups(4), (std::vector<int64_t>{0, 1, 2, 3}));
}
