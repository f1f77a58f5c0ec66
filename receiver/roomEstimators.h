// The estimators a model of the room starts from, over the tone phasors of a stretch of
// windows, in the precision of whoever calls them: the desktop receiver's std::complex<double>
// and the listening core's single-precision Phasor alike. Each takes the count of windows and
// `at(w, tone)`, the phasor of a tone in window w; none keeps any state.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "reading.h"

namespace sonicsend::receiver {

// Windows a pass apart repeat when what differs between them holds less than this share of
// their energy: noise 10 dB below the tones in every window gives a tenth.
inline constexpr double kRepeatsWithin = 0.1;

template <typename At>
using PhasorAt = decltype(std::declval<At>()(std::size_t{}, std::size_t{}));
template <typename P>
using ScalarOf = decltype(norm(std::declval<P>()));

// A clock mismatch between sender and recorder turns every tone's phase by the same small
// angle from one window to the next, proportional to its frequency. Each carrier repeats every
// other window, with the same ringing behind it, so its turn over two windows shows it.
// Returns the phase turned per window and per tone number k.
template <typename At>
auto measureDrift(std::size_t count, At at) {
  using P = PhasorAt<At>;
  using S = ScalarOf<P>;
  S weighted = 0;
  S weights = 0;
  for (const auto& [tone, k] :
       {std::pair{kEvenCarrier, kCarrierEvenK}, std::pair{kOddCarrier, kCarrierOddK}}) {
    P turn{};
    for (std::size_t w = 0; w + 2 < count; ++w) turn = turn + at(w + 2, tone) * conj(at(w, tone));
    weighted += abs(turn) * std::atan2(imag(turn), real(turn)) / (S(2) * static_cast<S>(k));
    weights += abs(turn);
  }
  return weights > S(0) ? weighted / weights : S(0);
}

// How far apart each carrier's phasor lies between its own windows and the others, in
// standard errors squared, added over both carriers (noise gives near 0), and which windows
// are even symbols (window w is even when w + evenOffset is even).
template <typename Scalar>
struct CarrierFit {
  Scalar score = 0;
  std::size_t evenOffset = 0;
};

template <typename At>
auto fitCarriers(std::size_t count, At at) {
  using P = PhasorAt<At>;
  using S = ScalarOf<P>;
  S score = 0;
  S evenVotes = 0;
  for (const auto& [tone, sign] : {std::pair{kEvenCarrier, S(1)}, std::pair{kOddCarrier, S(-1)}}) {
    std::array<P, 2> sums{};
    std::array<S, 2> squares{};
    std::array<S, 2> counts{};
    for (std::size_t w = 0; w < count; ++w) {
      const P y = at(w, tone);
      sums[w % 2] = sums[w % 2] + y;
      squares[w % 2] += norm(y);
      counts[w % 2] += S(1);
    }
    const std::array<P, 2> means = {(S(1) / counts[0]) * sums[0], (S(1) / counts[1]) * sums[1]};
    S error = 0;
    for (std::size_t side = 0; side < 2; ++side) {
      error += (squares[side] / counts[side] - norm(means[side])) / counts[side];
    }
    score += error > S(0) ? norm(means[0] - means[1]) / error : S(0);
    evenVotes += sign * (abs(means[0]) - abs(means[1]));
  }
  return CarrierFit<S>{score, evenVotes >= S(0) ? std::size_t{0} : std::size_t{1}};
}

// The loop repeats every pass, and so does what the room makes of it: windows a pass apart
// measure the same but for noise. Whether they clearly do `lag` windows apart (never when
// the windows do not hold two of them).
template <typename At>
bool repeatsAfter(std::size_t count, std::size_t lag, At at) {
  using S = ScalarOf<PhasorAt<At>>;
  if (2 * lag > count) return false;
  S apart = 0;
  S together = 0;
  for (std::size_t w = 0; w + lag < count; ++w) {
    for (std::size_t tone = 0; tone < static_cast<std::size_t>(kToneCount); ++tone) {
      const auto now = at(w, tone);
      const auto later = at(w + lag, tone);
      apart += norm(now - later);
      together += norm(now) + norm(later);
    }
  }
  return apart < static_cast<S>(kRepeatsWithin) * together;
}

// a / b, or 0 where b is 0.
template <typename P>
P quotient(P a, P b) {
  using S = ScalarOf<P>;
  const S n = norm(b);
  return n > S(0) ? (S(1) / n) * (a * conj(b)) : P{};
}

// Solves the first `n` rows of a x = b, a complex (Gaussian elimination with partial
// pivoting); an unknown without a pivot stays 0.
template <typename P, std::size_t N>
std::array<P, N> solve(std::array<std::array<P, N>, N> a, std::array<P, N> b, std::size_t n) {
  for (std::size_t col = 0; col < n; ++col) {
    std::size_t pivot = col;
    for (std::size_t row = col + 1; row < n; ++row) {
      if (norm(a[row][col]) > norm(a[pivot][col])) pivot = row;
    }
    std::swap(a[col], a[pivot]);
    std::swap(b[col], b[pivot]);
    if (norm(a[col][col]) == 0) continue;
    for (std::size_t row = col + 1; row < n; ++row) {
      const P factor = quotient(a[row][col], a[col][col]);
      for (std::size_t k = col; k < n; ++k) a[row][k] = a[row][k] - factor * a[col][k];
      b[row] = b[row] - factor * b[col];
    }
  }
  std::array<P, N> x{};
  for (std::size_t col = n; col-- > 0;) {
    P sum = b[col];
    for (std::size_t k = col + 1; k < n; ++k) sum = sum - a[col][k] * x[k];
    x[col] = quotient(sum, a[col][col]);
  }
  return x;
}

}  // namespace sonicsend::receiver
