// Converts captured audio to the protocol's 44 100 samples per second.
#pragma once

#include <memory>
#include <span>
#include <vector>

namespace sonicsend::receiver {

// The whole of `samples` (mono) from `fromRate` to 44 100 Hz.
std::vector<float> resampleWhole(std::span<const float> samples, double fromRate);

// Converts a mono stream piece by piece, keeping the filter's state between pieces.
class Resampler {
 public:
  explicit Resampler(double fromRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Appends to `out` what `samples` yield so far.
  void push(std::span<const float> samples, std::vector<float>& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
  double ratio_;
};

}  // namespace sonicsend::receiver
