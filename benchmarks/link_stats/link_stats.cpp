#include "link_stats.h"

#include <algorithm>
#include <cmath>

namespace tolvarine_bench {

Stats summarise(std::vector<double> values) {
  Stats s;
  s.count = values.size();
  if (values.empty()) {
    return s;
  }
  std::sort(values.begin(), values.end());
  double sum = 0;
  for (double v : values) {
    sum += v;
  }
  auto at = [&values](double q) {
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
  };
  s.mean = sum / values.size();
  s.p50 = at(0.5);
  s.p99 = at(0.99);
  s.max = values.back();
  return s;
}

double driftMsPer10Min(const std::vector<double>& arrivalsMs) {
  const std::size_t n = arrivalsMs.size();
  if (n < 3) {
    return NAN;
  }
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(i);
    const double y = arrivalsMs[i] - arrivalsMs[0];
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return (slope - kCycleMs) / slope * 600000.0;
}

}  // namespace tolvarine_bench
