#include "roomResponse.h"

#include <cmath>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

// Each window's phasors of one tone as the estimators read them.
auto phasorsOf(std::span<const AlignedTones> aligned) {
  return [aligned](std::size_t w, std::size_t tone) { return aligned[w][tone]; };
}

}  // namespace

double measureDrift(std::span<const TonePhasors> phasors) {
  return measureDrift(phasors.size(), [phasors](std::size_t w, std::size_t tone) {
    return Complex(phasors[w][tone]);
  });
}

std::vector<AlignedTones> alignDrift(std::span<const TonePhasors> phasors, double driftPerK) {
  std::vector<AlignedTones> aligned(phasors.size());
  for (std::size_t w = 0; w < phasors.size(); ++w) {
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      const double k = static_cast<double>(tone + kCarrierEvenK);
      aligned[w][tone] =
          Complex(phasors[w][tone]) * std::polar(1.0, -driftPerK * k * static_cast<double>(w));
    }
  }
  return aligned;
}

double toneEnergy(std::span<const AlignedTones> aligned, std::size_t tone) {
  double energy = 0.0;
  for (const AlignedTones& window : aligned) energy += std::norm(window[tone]);
  return energy;
}

CarrierFit<double> fitCarriers(std::span<const AlignedTones> aligned) {
  return fitCarriers(aligned.size(), phasorsOf(aligned));
}

std::size_t findPassLength(std::span<const AlignedTones> aligned) {
  const auto windows = static_cast<int>(aligned.size());
  for (int frames = 1; frames <= kMaxFrames; ++frames) {
    const int lag = frames * kFrameWindows;
    if (repeatsAfter(windows, lag, phasorsOf(aligned))) return static_cast<std::size_t>(lag);
  }
  return 0;
}

std::vector<std::uint32_t> soundingBits(std::span<const ToneSounding> sounding, std::size_t tone) {
  std::vector<std::uint32_t> bits((sounding.size() + 31) / 32, 0u);
  for (std::size_t w = 0; w < sounding.size(); ++w) {
    if (sounding[w][tone]) bits[w / 32] |= 1u << (w % 32);
  }
  return bits;
}

Response learnResponse(std::span<const AlignedTones> aligned, std::span<const std::uint32_t> bits,
                       std::size_t tone, std::size_t echoes, double energy) {
  return learnResponse<kResponseTerms>(
      bits, static_cast<int>(aligned.size()), static_cast<int>(echoes + 1),
      [&](int w) { return aligned[static_cast<std::size_t>(w)][tone]; }, energy);
}

Response learnResponse(std::span<const AlignedTones> aligned,
                       std::span<const ToneSounding> sounding, std::size_t tone, std::size_t echoes,
                       double energy) {
  return learnResponse(aligned, soundingBits(sounding, tone), tone, echoes, energy);
}

}  // namespace sonicsend::receiver
