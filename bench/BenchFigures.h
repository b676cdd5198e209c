#pragma once

// How the benchmark programs time a program against its baseline and print
// the result.
#include <windows.h>

#include <string>
#include <vector>

namespace bench {

// The middle value, or the mean of the middle two; 0 for no values.
double Median(std::vector<double> values);

// Seconds between two QueryPerformanceCounter readings.
double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to);

// Times `runs` pairs of a and b (each a callable giving seconds, negative for a
// run that went wrong), the first of each pair alternating so that neither
// always follows the other. Returns 'a' or 'b' for the first side that went
// wrong, 0 when every run was good.
template <typename A, typename B>
char TimePairs(int runs, A a, B b, std::vector<double>* aTimes, std::vector<double>* bTimes) {
  for (int i = 0; i < runs; ++i) {
    double ta, tb;
    if (i % 2 == 0) {
      ta = a();
      tb = b();
    } else {
      tb = b();
      ta = a();
    }
    if (ta < 0) return 'a';
    if (tb < 0) return 'b';
    aTimes->push_back(ta);
    bTimes->push_back(tb);
  }
  return 0;
}

// The unit a figure is printed in.
struct Unit {
  const char* name;
  double perSecond;
};
constexpr Unit kMilliseconds = {"ms", 1e3};
constexpr Unit kMicroseconds = {"us", 1e6};

// Prints one line, "figure: a's median, b's median (medians of n), the ratio
// of the two against its limit, ok or OVER", and gives the program's exit
// code: 0 when the ratio is within the limit, else 1.
int ReportRatio(const std::string& figure, const std::string& aName, const std::vector<double>& a,
                const std::string& bName, const std::vector<double>& b, Unit unit, double limit);

}  // namespace bench
