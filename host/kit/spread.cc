#include "host/kit/spread.h"

#include <algorithm>

namespace qrv::host {

namespace {

// `sorted` is not empty.
double Quantile(const std::vector<double>& sorted, double p) {
  const double at = p * double(sorted.size() - 1);
  const size_t below = static_cast<size_t>(at);
  if (below + 1 >= sorted.size()) return sorted.back();
  const double part = at - double(below);
  return sorted[below] + (sorted[below + 1] - sorted[below]) * part;
}

}  // namespace

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.count = values.size();
  s.min = values.front();
  s.lowerQuartile = Quantile(values, 0.25);
  s.median = Quantile(values, 0.5);
  s.upperQuartile = Quantile(values, 0.75);
  s.max = values.back();
  return s;
}

}  // namespace qrv::host
