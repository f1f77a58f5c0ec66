#include "resampler.h"

#include <soxr.h>

#include <cmath>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

// Room for the output of `inputs` samples, with a margin for the filter's delay and rounding.
std::size_t outputRoom(std::size_t inputs, double ratio) {
  return static_cast<std::size_t>(std::ceil(static_cast<double>(inputs) * ratio)) + 64;
}

// The filter's tail is drained in pieces of this many output samples.
constexpr std::size_t kTailPiece = 4096;

}  // namespace

struct Resampler::State {
  soxr_t soxr = nullptr;
  ~State() { soxr_delete(soxr); }
};

Resampler::Resampler(double fromRate)
    : state_(std::make_unique<State>()), ratio_(kSampleRate / fromRate) {
  soxr_error_t error = nullptr;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  state_->soxr = soxr_create(fromRate, kSampleRate, 1, &error, nullptr, &quality, nullptr);
  if (error) {
    soxr_delete(state_->soxr);
    state_->soxr = nullptr;
  }
}

Resampler::~Resampler() = default;

bool Resampler::ok() const {
  return state_->soxr != nullptr;
}

bool Resampler::push(std::span<const float> samples, std::vector<float>& out) {
  return samples.empty() || process(samples.data(), samples.size(), out);
}

bool Resampler::finish(std::vector<float>& out) {
  return process(nullptr, 0, out);
}

// With no samples, soxr flushes: it writes what its filter holds until it has nothing more.
bool Resampler::process(const float* samples, std::size_t count, std::vector<float>& out) {
  if (!ok()) return false;
  std::size_t consumed = 0;
  for (;;) {
    const std::size_t start = out.size();
    const std::size_t room = samples ? outputRoom(count - consumed, ratio_) : kTailPiece;
    out.resize(start + room);
    std::size_t used = 0;
    std::size_t written = 0;
    const soxr_error_t error =
        soxr_process(state_->soxr, samples ? samples + consumed : nullptr, count - consumed,
                     samples ? &used : nullptr, out.data() + start, room, &written);
    out.resize(start + written);
    if (error) return false;
    consumed += used;
    if (samples ? consumed >= count || (used == 0 && written == 0) : written < room) return true;
  }
}

}  // namespace sonicsend::receiver
