// The rows of the bench table that tools/bench.sh prints: each figure as the
// median of its runs with the lowest and highest run beside it.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

struct Spread {
  double median, low, high;
};

inline Spread Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

inline void Row(const char* figure, const Spread& s, const char* unit, int runs, const char* goal) {
  std::printf("| %-44s | %9.3f %-5s | %8.3f - %-8.3f | %2d | %-22s |\n", figure, s.median, unit,
              s.low, s.high, runs, goal);
}
