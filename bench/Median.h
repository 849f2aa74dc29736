#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace quillet::bench {

// The median time of one `step`, in microseconds, over `rounds` runs after a tenth as many
// to warm up: the median, not the mean, so that a stray interruption does not count.
inline double MedianMicroseconds(int rounds, const std::function<void()>& step) {
  using Clock = std::chrono::steady_clock;
  for (int i = 0; i < rounds / 10; ++i) step();
  std::vector<double> samples;
  samples.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    step();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::nth_element(samples.begin(), samples.begin() + rounds / 2, samples.end());
  return samples[rounds / 2];
}

}  // namespace quillet::bench
