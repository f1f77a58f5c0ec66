#include "roomResponse.h"

#include <cmath>
#include <utility>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

// Windows a pass apart repeat when what differs between them holds less than this share of
// their energy: noise 10 dB below the tones in every window gives a tenth.
constexpr double kRepeatsWithin = 0.1;
// Added to the diagonal of the normal equations of a response.
constexpr double kDamping = 0.5;

}  // namespace

double measureDrift(std::span<const TonePhasors> phasors) {
  double weighted = 0.0;
  double weights = 0.0;
  for (const auto& [tone, k] :
       {std::pair{kEvenCarrier, kCarrierEvenK}, std::pair{kOddCarrier, kCarrierOddK}}) {
    Complex turn{};
    for (std::size_t w = 0; w + 2 < phasors.size(); ++w) {
      turn += Complex(phasors[w + 2][tone]) * std::conj(Complex(phasors[w][tone]));
    }
    weighted += std::abs(turn) * std::arg(turn) / (2.0 * k);
    weights += std::abs(turn);
  }
  return weights > 0.0 ? weighted / weights : 0.0;
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

CarrierFit fitCarriers(std::span<const AlignedTones> aligned) {
  double score = 0.0;
  double evenVotes = 0.0;
  for (const auto& [tone, sign] : {std::pair{kEvenCarrier, 1.0}, std::pair{kOddCarrier, -1.0}}) {
    std::array<Complex, 2> sums{};
    std::array<double, 2> squares{};
    std::array<double, 2> counts{};
    for (std::size_t w = 0; w < aligned.size(); ++w) {
      const Complex y = aligned[w][tone];
      sums[w % 2] += y;
      squares[w % 2] += std::norm(y);
      counts[w % 2] += 1.0;
    }
    double error = 0.0;
    for (std::size_t side = 0; side < 2; ++side) {
      const Complex mean = sums[side] / counts[side];
      error += (squares[side] / counts[side] - std::norm(mean)) / counts[side];
    }
    const Complex difference = sums[0] / counts[0] - sums[1] / counts[1];
    score += error > 0.0 ? std::norm(difference) / error : 0.0;
    evenVotes += sign * (std::abs(sums[0] / counts[0]) - std::abs(sums[1] / counts[1]));
  }
  return {score, evenVotes >= 0.0 ? std::size_t{0} : std::size_t{1}};
}

std::size_t findPassLength(std::span<const AlignedTones> aligned) {
  const std::size_t count = aligned.size();
  for (std::size_t frames = 1; frames <= static_cast<std::size_t>(kMaxFrames); ++frames) {
    const std::size_t lag = frames * kFrameBytes;
    if (2 * lag > count) break;
    double apart = 0.0;
    double together = 0.0;
    for (std::size_t w = 0; w + lag < count; ++w) {
      for (std::size_t tone = 0; tone < kToneCount; ++tone) {
        const Complex now = aligned[w][tone];
        const Complex later = aligned[w + lag][tone];
        apart += std::norm(now - later);
        together += std::norm(now) + std::norm(later);
      }
    }
    if (apart < kRepeatsWithin * together) return lag;
  }
  return 0;
}

Terms solve(SquareSystem a, Terms b, std::size_t n) {
  for (std::size_t col = 0; col < n; ++col) {
    std::size_t pivot = col;
    for (std::size_t row = col + 1; row < n; ++row) {
      if (std::abs(a[row][col]) > std::abs(a[pivot][col])) pivot = row;
    }
    std::swap(a[col], a[pivot]);
    std::swap(b[col], b[pivot]);
    if (std::abs(a[col][col]) == 0.0) continue;
    for (std::size_t row = col + 1; row < n; ++row) {
      const Complex factor = a[row][col] / a[col][col];
      for (std::size_t k = col; k < n; ++k) a[row][k] -= factor * a[col][k];
      b[row] -= factor * b[col];
    }
  }
  Terms x{};
  for (std::size_t col = n; col-- > 0;) {
    Complex sum = b[col];
    for (std::size_t k = col + 1; k < n; ++k) sum -= a[col][k] * x[k];
    x[col] = std::abs(a[col][col]) == 0.0 ? Complex{} : sum / a[col][col];
  }
  return x;
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
