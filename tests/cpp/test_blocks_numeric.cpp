// Label pairing and the element-wise rules of the blocks, checked on small hand-built cases
// where the expected result is written out independently of the implementation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/blocks/numeric.hpp"
#include "core/common/errors.hpp"

namespace cb = ostrel::core::blocks;
using ostrel::core::Error;
using ostrel::core::ErrorKind;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();

void expect_values(std::span<const double> got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i]))
      EXPECT_TRUE(std::isnan(got[i])) << "at " << i;
    else
      EXPECT_DOUBLE_EQ(got[i], want[i]) << "at " << i;
  }
}
}  // namespace

TEST(BlocksNumeric, CombineTakesTheSortedUnionOfDifferingLabels) {
  const std::vector<int64_t> la{0, 2, 4}, lb{1, 2, 5};
  const std::vector<double> va{1, 2, 3}, vb{10, 20, 30};
  const cb::Labelled r = cb::combine({la, va}, {lb, vb}, cb::Arith::Add);
  EXPECT_EQ(std::vector<int64_t>(r.labels.begin(), r.labels.end()),
            (std::vector<int64_t>{0, 1, 2, 4, 5}));
  expect_values(r.values, {kNaN, kNaN, 22, kNaN, kNaN});
}

TEST(BlocksNumeric, CombineRefusesRepeatedLabelsThatNeedAligning) {
  const std::vector<int64_t> la{0, 0, 1}, lb{0, 1};
  const std::vector<double> va{1, 2, 3}, vb{1, 2};
  try {
    cb::combine({la, va}, {lb, vb}, cb::Arith::Subtract);
    FAIL() << "expected a failure";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Value);
  }
}

TEST(BlocksNumeric, FoldKeepsTheLabelsOfTheFirstSeriesWhenAllAgree) {
  const std::vector<int64_t> l{10, 20};
  const std::vector<double> a{1, 2}, b{3, 5};
  const cb::ArithOperand ops[] = {cb::ArithOperand::of(2.0), cb::ArithOperand::of({l, a}),
                                  cb::ArithOperand::of({l, b})};
  const cb::Combined r = cb::fold(ops, cb::Arith::Multiply, "Multiply");
  EXPECT_EQ(r.labels_of, 1);
  expect_values(r.values, {6, 20});
}

TEST(BlocksNumeric, FoldWithoutASeriesNamesTheBlock) {
  const cb::ArithOperand ops[] = {cb::ArithOperand::of(1.0), cb::ArithOperand::of(2.0)};
  try {
    cb::fold(ops, cb::Arith::Add, "Add");
    FAIL() << "expected a failure";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Value);
    EXPECT_STREQ(e.what(), "Add requires at least one Dataset operand");
  }
}

TEST(BlocksNumeric, DivisionByZeroFollowsIeee) {
  EXPECT_TRUE(std::isinf(cb::apply(cb::Arith::Divide, 1.0, 0.0)));
  EXPECT_TRUE(std::isnan(cb::apply(cb::Arith::Divide, 0.0, 0.0)));
}

TEST(BlocksNumeric, ReindexAndForwardFill) {
  const std::vector<int64_t> labels{10, 20, 30};
  const std::vector<double> values{1, 2, 3};
  const std::vector<int64_t> targets{5, 10, 25, 30, 40};
  expect_values(cb::reindex({labels, values}, targets), {kNaN, 1, kNaN, 3, kNaN});
  expect_values(cb::forward_fill({labels, values}, targets), {kNaN, 1, 2, 3, 3});
  EXPECT_EQ(cb::forward_fill_positions(labels, targets), (std::vector<int64_t>{-1, 0, 1, 2, 2}));
}

TEST(BlocksNumeric, LookupCountsBoundariesAtOrBelow) {
  const std::vector<double> x{-1, 0, 4.99, 5, 12, kNaN};
  const std::vector<double> boundaries{0, 5, 10};
  const std::vector<double> levels{100, 200, 300, 400};
  expect_values(cb::lookup(x, boundaries, levels), {100, 200, 200, 300, 400, kNaN});
}

TEST(BlocksNumeric, ClipSwapsNumberBoundsGivenTheWrongWayRound) {
  const std::vector<double> x{-5, 0, 5, kNaN};
  expect_values(cb::clip(x, cb::Bound::of(3.0), cb::Bound::of(-1.0)), {-1, 0, 3, kNaN});
  const std::vector<double> lo{0, kNaN, 6, 0}, hi{1, 1, 4, 0};
  // Per-element bounds apply as given: lower first, then upper wins.
  expect_values(cb::clip(x, cb::Bound::of(lo), cb::Bound::of(hi)), {0, 0, 4, kNaN});
  expect_values(cb::clip(x, cb::Bound::none(), cb::Bound::of(2.0)), {-5, 0, 2, kNaN});
}

TEST(BlocksNumeric, SelectAndMask) {
  const std::vector<double> x{1, kNaN, 3, 4};
  const std::vector<uint8_t> keep{1, 1, 0, 1};
  expect_values(cb::select(x, keep), {1, kNaN, kNaN, 4});
  expect_values(cb::mask(x, keep, 0.5), {0.5, kNaN, 3, 0.5});
  const std::vector<double> repl{7, 8, 9, 10};
  expect_values(cb::mask(x, keep, repl), {7, kNaN, 3, 10});
}
