// Converts captured audio to the protocol's 44 100 samples per second.
#pragma once

#include <memory>
#include <span>
#include <vector>

namespace sonicsend::receiver {

// Converts a mono stream piece by piece, keeping the filter's state between pieces. Reports
// failure through its results and throws nothing but std::bad_alloc.
class Resampler {
 public:
  explicit Resampler(double fromRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // False when the converter could not be set up for this rate.
  bool ok() const;
  // Appends to `out` what `samples` yield so far; false when the conversion failed.
  bool push(std::span<const float> samples, std::vector<float>& out);
  // Appends what the filter still holds once the input has ended; false on failure.
  bool finish(std::vector<float>& out);

 private:
  bool process(const float* samples, std::size_t count, std::vector<float>& out);

  struct State;
  std::unique_ptr<State> state_;
  double ratio_;
};

}  // namespace sonicsend::receiver
