#include "resampler.h"

#include <soxr.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

void throwOnError(soxr_error_t error) {
  if (error) throw std::runtime_error(std::string("resampling failed: ") + error);
}

// Room for the output of `inputs` samples, with a margin for the filter's delay and rounding.
std::size_t outputRoom(std::size_t inputs, double ratio) {
  return static_cast<std::size_t>(std::ceil(static_cast<double>(inputs) * ratio)) + 64;
}

}  // namespace

std::vector<float> resampleWhole(std::span<const float> samples, double fromRate) {
  const double ratio = kSampleRate / fromRate;
  std::vector<float> out(outputRoom(samples.size(), ratio));
  std::size_t written = 0;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  throwOnError(soxr_oneshot(fromRate, kSampleRate, 1, samples.data(), samples.size(), nullptr,
                            out.data(), out.size(), &written, nullptr, &quality, nullptr));
  out.resize(written);
  return out;
}

struct Resampler::State {
  soxr_t soxr = nullptr;
  ~State() { soxr_delete(soxr); }
};

Resampler::Resampler(double fromRate)
    : state_(std::make_unique<State>()), ratio_(kSampleRate / fromRate) {
  soxr_error_t error = nullptr;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  state_->soxr = soxr_create(fromRate, kSampleRate, 1, &error, nullptr, &quality, nullptr);
  throwOnError(error);
}

Resampler::~Resampler() = default;

void Resampler::push(std::span<const float> samples, std::vector<float>& out) {
  std::size_t consumed = 0;
  do {
    const std::size_t start = out.size();
    out.resize(start + outputRoom(samples.size() - consumed, ratio_));
    std::size_t used = 0;
    std::size_t written = 0;
    throwOnError(soxr_process(state_->soxr, samples.data() + consumed, samples.size() - consumed,
                              &used, out.data() + start, out.size() - start, &written));
    out.resize(start + written);
    consumed += used;
    if (used == 0 && written == 0) break;  // nothing more fits; never expected
  } while (consumed < samples.size());
}

}  // namespace sonicsend::receiver
