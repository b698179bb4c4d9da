// How repeated measurements of one figure spread: the benchmarks print the
// median with the middle half and the extremes, so one run shows how far its
// figure can be trusted on a noisy machine.
#pragma once

#include <cstddef>
#include <vector>

namespace qrv::host {

struct Spread {
  size_t count = 0;
  double min = 0;
  double lowerQuartile = 0;
  double median = 0;
  double upperQuartile = 0;
  double max = 0;
};

// Quartiles and median are read between neighbouring sorted values (linear
// interpolation), so they are exact for any count; all zero for none.
Spread SpreadOf(std::vector<double> values);

}  // namespace qrv::host
