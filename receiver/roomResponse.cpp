#include "roomResponse.h"

#include <cmath>
#include <utility>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

// Added to the diagonal of the normal equations of a response.
constexpr double kDamping = 0.5;

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
  for (std::size_t frames = 1; frames <= static_cast<std::size_t>(kMaxFrames); ++frames) {
    const std::size_t lag = frames * kFrameBytes;
    if (repeatsAfter(aligned.size(), lag, phasorsOf(aligned))) return lag;
  }
  return 0;
}

Response learnResponse(std::span<const AlignedTones> aligned,
                       std::span<const ToneSounding> sounding, std::size_t tone, std::size_t echoes,
                       double energy) {
  const std::size_t terms = echoes + 1;
  SquareSystem normal{};
  Terms projected{};
  for (std::size_t w = 0; w < aligned.size(); ++w) {
    const Complex y = aligned[w][tone];
    for (std::size_t a = 0; a < terms; ++a) {
      if (!soundsInTerm(sounding, tone, w, a)) continue;
      projected[a] += y;
      for (std::size_t b = 0; b < terms; ++b)
        normal[a][b] += soundsInTerm(sounding, tone, w, b) ? 1.0 : 0.0;
    }
  }
  for (std::size_t a = 0; a < terms; ++a) normal[a][a] += kDamping;
  Response response;
  response.terms = solve(normal, projected, terms);
  // Least squares: what is left is the energy minus what the fit explains.
  Complex explained{};
  for (std::size_t a = 0; a < terms; ++a) explained += std::conj(response.terms[a]) * projected[a];
  response.misfit = energy - explained.real();
  return response;
}

}  // namespace sonicsend::receiver
