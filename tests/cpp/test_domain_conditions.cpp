// The rules over the condition tree: the resolution a condition needs and the holidays it names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/common/errors.hpp"
#include "core/domain/conditions.hpp"

namespace cd = ostrel::core::domain;
using TC = ostrel::core::timeline::TimeCondition;
using Kind = TC::Kind;
using cd::Resolution;

namespace {
TC leaf(Kind k, std::vector<std::string> holidays = {}) {
  TC c;
  c.kind = k;
  c.holidays = std::move(holidays);
  return c;
}
TC node(Kind k, std::vector<TC> children) {
  TC c;
  c.kind = k;
  c.children = std::move(children);
  return c;
}
}  // namespace

TEST(DomainConditions, LeavesNeedTheirOwnResolution) {
  EXPECT_EQ(cd::min_condition_resolution(leaf(Kind::TimeOfDay)), Resolution::HOURLY);
  EXPECT_EQ(cd::min_condition_resolution(leaf(Kind::DayOfWeek)), Resolution::DAILY);
  EXPECT_EQ(cd::min_condition_resolution(leaf(Kind::ExcludeHolidays)), Resolution::DAILY);
  EXPECT_EQ(cd::min_condition_resolution(leaf(Kind::Month)), Resolution::MONTHLY);
}

TEST(DomainConditions, CompoundsNeedTheFinestOfTheirParts) {
  const TC months_and_days = node(Kind::And, {leaf(Kind::Month), leaf(Kind::DayOfWeek)});
  EXPECT_EQ(cd::min_condition_resolution(months_and_days), Resolution::DAILY);
  const TC deep =
      node(Kind::Or, {leaf(Kind::Month), node(Kind::Not, {node(Kind::And, {
                                                                              leaf(Kind::Month),
                                                                              leaf(Kind::TimeOfDay),
                                                                          })})});
  EXPECT_EQ(cd::min_condition_resolution(deep), Resolution::HOURLY);
  EXPECT_EQ(cd::min_condition_resolution(node(Kind::Not, {leaf(Kind::Month)})),
            Resolution::MONTHLY);
}

TEST(DomainConditions, HolidaysAreCollectedThroughEveryCompoundOnceAndSorted) {
  const TC a = node(Kind::And, {leaf(Kind::ExcludeHolidays, {"se/juldagen", "se/julafton"}),
                                node(Kind::Not, {leaf(Kind::ExcludeHolidays, {"se/julafton"})})});
  const TC b = node(Kind::Or, {leaf(Kind::Month), leaf(Kind::ExcludeHolidays, {"no/langfredag"})});
  const std::vector<TC> both{a, b};
  EXPECT_EQ(cd::collect_holidays(both),
            (std::vector<std::string>{"no/langfredag", "se/julafton", "se/juldagen"}));
  EXPECT_TRUE(cd::collect_holidays(std::vector<TC>{leaf(Kind::TimeOfDay)}).empty());
}

TEST(DomainConditions, MessagesAndKinds) {
  using ostrel::core::Error;
  using ostrel::core::ErrorKind;
  try {
    cd::not_a_time_condition("min_condition_resolution", "HighestCondition");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Type);
    EXPECT_STREQ(e.what(),
                 "min_condition_resolution() takes a time condition, got HighestCondition");
  }
  EXPECT_NO_THROW(cd::check_time_of_day_bounds(true));
  EXPECT_THROW(cd::check_time_of_day_bounds(false), Error);
}
