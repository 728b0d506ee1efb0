#pragma once
// Whole-array comparisons of instants. A run hands the same label arrays from step to step (a
// result keeps its input's labels, an aligned input the grid's own), so two views are often
// one array: then they are equal without reading a year of quarter-hours.
#include <algorithm>
#include <span>

namespace ostrel::core {

template <typename T>
bool same_elements(std::span<const T> a, std::span<const T> b) {
  if (a.size() != b.size()) return false;
  return a.data() == b.data() || std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace ostrel::core
