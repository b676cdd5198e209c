#include "BenchFigures.h"

#include <algorithm>
#include <cstdio>

namespace bench {

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

int ReportRatio(const std::string& figure, const std::string& aName, const std::vector<double>& a,
                const std::string& bName, const std::vector<double>& b, Unit unit, double limit) {
  const double ratio = Median(a) / Median(b);
  std::printf("%s: %s %.1f %s, %s %.1f %s (medians of %d), ratio %.2f (limit %.2f) %s\n",
              figure.c_str(), aName.c_str(), Median(a) * unit.perSecond, unit.name, bName.c_str(),
              Median(b) * unit.perSecond, unit.name, static_cast<int>(a.size()), ratio, limit,
              ratio <= limit ? "ok" : "OVER");
  return ratio <= limit ? 0 : 1;
}

}  // namespace bench
