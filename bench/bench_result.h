// The lines bench/run-all.sh gathers into its table. Each benchmark prints,
// beside its own figures, one line per goal:
//   result<TAB>NAME<TAB>FIGURE<TAB>GOAL<TAB>UNIT
// where FIGURE must stay at or under GOAL; a figure with no goal prints "-"
// as its goal.
#pragma once

#include <cstdio>

namespace korvbench {

constexpr double kNoGoal = -1;

inline void PrintResult(const char* name, double figure, double goal, const char* unit) {
  if (goal < 0) {
    std::printf("result\t%s\t%.4g\t-\t%s\n", name, figure, unit);
  } else {
    std::printf("result\t%s\t%.4g\t%.4g\t%s\n", name, figure, goal, unit);
  }
}

}  // namespace korvbench
