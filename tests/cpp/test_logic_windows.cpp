// Evaluation windows of components inside a request, including bounds that Python requests
// never produce (a validity bound beyond the request, windows that miss the request).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/logic/windows.hpp"

namespace lg = ostrel::core::logic;

namespace {
constexpr std::int64_t kStep = 15;
const lg::Window kRequest{100, 400};
}  // namespace

TEST(LogicWindows, AValidityWindowCoveringTheRequestKeepsIt) {
  for (auto [from, to] :
       std::vector<std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>>>{
           {std::nullopt, std::nullopt}, {100, 400}, {-50, 1000}, {std::nullopt, 400}}) {
    const lg::WindowChoice c = lg::evaluation_window(kRequest, from, to, kStep);
    EXPECT_FALSE(c.cut);
    EXPECT_EQ(c.window.start, 100);
    EXPECT_EQ(c.window.end, 400);
  }
}

TEST(LogicWindows, BoundsInsideMoveUpToTheRequestGrid) {
  const lg::WindowChoice on_grid = lg::evaluation_window(kRequest, 160, 310, kStep);
  EXPECT_TRUE(on_grid.cut);
  EXPECT_EQ(on_grid.window.start, 160);
  EXPECT_EQ(on_grid.window.end, 310);
  const lg::WindowChoice off_grid = lg::evaluation_window(kRequest, 161, 301, kStep);
  EXPECT_EQ(off_grid.window.start, 175);
  EXPECT_EQ(off_grid.window.end, 310);
}

TEST(LogicWindows, WindowsThatMeetPartitionTheRequest) {
  for (std::int64_t change = 101; change < 400; change += 7) {
    const lg::Window before = lg::evaluation_window(kRequest, std::nullopt, change, kStep).window;
    const lg::Window after = lg::evaluation_window(kRequest, change, std::nullopt, kStep).window;
    EXPECT_EQ(before.start, 100);
    EXPECT_EQ(before.end, after.start) << change;
    EXPECT_EQ(after.end, 400);
  }
}

TEST(LogicWindows, AWindowOutsideTheRequestIsEmpty) {
  const lg::Window late = lg::evaluation_window(kRequest, 500, std::nullopt, kStep).window;
  EXPECT_EQ(late.start, late.end);
  const lg::Window early = lg::evaluation_window(kRequest, std::nullopt, 50, kStep).window;
  EXPECT_EQ(early.start, early.end);
}

TEST(LogicWindows, OrdersAndPositions) {
  const std::vector<std::string> keys{"b", "a", "b", "c", "a"};
  EXPECT_EQ(lg::order_by(keys), (std::vector<std::size_t>{1, 4, 0, 2, 3}));
  EXPECT_EQ(lg::distinct_sorted(keys), (std::vector<std::size_t>{1, 0, 3}));
  const std::vector<std::int64_t> instants{90, 100, 250, 399, 400, 120};
  EXPECT_EQ(lg::positions_within(instants, kRequest), (std::vector<std::size_t>{1, 2, 3, 5}));
  const lg::YearWindow years = lg::holiday_years(2025, 2025);
  EXPECT_EQ(years.start_year, 2024);
  EXPECT_EQ(years.end_year, 2027);
}
