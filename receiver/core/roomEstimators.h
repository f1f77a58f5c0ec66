// The room model's estimators, and its reading of a tone again through the response learnt,
// over the tone phasors of a stretch of windows, in the precision of whoever calls them: the
// desktop receiver's std::complex<double> and the listening core's single-precision Phasor
// alike. Each takes the count of windows and the phasors as a function: `at(w, tone)` for
// every tone, `at(w)` for the one tone read. None keeps any state.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "portable.h"
#include "reading.h"

namespace sonicsend::receiver {

// Windows a pass apart repeat when what differs between them holds less than this share of
// their energy: noise 10 dB below the tones in every window gives a tenth.
inline constexpr double kRepeatsWithin = 0.1;

template <typename At>
using PhasorAt = decltype(std::declval<At>()(std::size_t{}, std::size_t{}));
template <typename P>
using ScalarOf = decltype(norm(std::declval<P>()));

// Re(a conj(b)): how far a lies along b. Written out, as std::complex makes a product a library
// call that checks for infinities.
template <typename P>
ScalarOf<P> inPhase(P a, P b) {
  return real(a) * real(b) + imag(a) * imag(b);
}

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
// measure the same but for noise. What pairs of windows `lag` apart hold, over all tones:
// their energy, and what they hold alike; what differs between them is the rest. A device sums
// them a stretch of windows at a time, from the windows as it keeps them.
template <typename S>
struct LagSums {
  S together = 0;  // |now|^2 + |later|^2
  S alike = 0;     // Re(now conj(later)); |now - later|^2 = together - 2 alike
  // Whether the windows clearly repeat.
  bool repeat() const {
    return together - S(2) * alike < static_cast<S>(kRepeatsWithin) * together;
  }
};

// Whether `count` windows clearly repeat `lag` windows apart (never when they do not hold two
// of them).
template <typename At>
bool repeatsAfter(int count, int lag, At at) {
  if (2 * lag > count) return false;
  LagSums<ScalarOf<PhasorAt<At>>> sums;
  for (int w = 0; w + lag < count; ++w) {
    for (std::size_t tone = 0; tone < static_cast<std::size_t>(kToneCount); ++tone) {
      const auto now = at(static_cast<std::size_t>(w), tone);
      const auto later = at(static_cast<std::size_t>(w + lag), tone);
      sums.together += norm(now) + norm(later);
      sums.alike += inPhase(now, later);
    }
  }
  return sums.repeat();
}

// a / b, or 0 where b is 0.
template <typename P>
P quotient(P a, P b) {
  using S = ScalarOf<P>;
  const S n = norm(b);
  return n > S(0) ? (S(1) / n) * (a * conj(b)) : P{};
}

// x of a triangular system a x = b, from its last row up; `divide(sum, diagonal)`.
template <typename Row, typename P, std::size_t N, typename Divide>
std::array<P, N> backSubstitute(const std::array<Row, N>& a, const std::array<P, N>& b,
                                std::size_t n, Divide divide) {
  std::array<P, N> x{};
  for (std::size_t col = n; col-- > 0;) {
    P sum = b[col];
    for (std::size_t k = col + 1; k < n; ++k) sum = sum - a[col][k] * x[k];
    x[col] = divide(sum, a[col][col]);
  }
  return x;
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
  return backSubstitute(a, b, n, [](P sum, P diagonal) { return quotient(sum, diagonal); });
}

// Solves the first `n` rows of a x = b for a real, symmetric and positive definite (a little
// damping makes it so), b complex: Gaussian elimination without pivoting.
template <typename S, typename P, std::size_t N>
std::array<P, N> solveReal(std::array<std::array<S, N>, N> a, std::array<P, N> b,
                           std::size_t n = N) {
  for (std::size_t col = 0; col < n; ++col) {
    for (std::size_t row = col + 1; row < n; ++row) {
      const S factor = a[row][col] / a[col][col];
      for (std::size_t k = col; k < n; ++k) a[row][k] -= factor * a[col][k];
      b[row] = b[row] - factor * b[col];
    }
  }
  return backSubstitute(a, b, n, [](P sum, S diagonal) { return (S(1) / diagonal) * sum; });
}

// Where a tone sounds: one bit per window, window w in bit w % 32 of word w / 32.
inline bool bitAt(const std::uint32_t* bits, int index) {
  return ((bits[index / 32] >> (index % 32)) & 1u) != 0;
}
inline void setBit(std::uint32_t* bits, int index, bool value) {
  const std::uint32_t mask = 1u << (index % 32);
  bits[index / 32] = value ? bits[index / 32] | mask : bits[index / 32] & ~mask;
}

// How many windows u <= last sound together with window u + d (d < 32).
inline int pairsApart(Span<const std::uint32_t> bits, int d, int last) {
  int pairs = 0;
  for (int word = 0; word * 32 <= last; ++word) {
    const auto i = static_cast<std::size_t>(word);
    const std::uint32_t next = i + 1 < bits.size() ? bits[i + 1] : 0u;
    std::uint32_t both = bits[i] & (d == 0 ? bits[i] : (bits[i] >> d) | (next << (32 - d)));
    const int through = last - word * 32;  // the last bit of this word counted
    if (through < 31) both &= (2u << through) - 1u;
    pairs += countOnes(both);
  }
  return pairs;
}

// How clearly the carriers must show (see fitCarriers) before a room model reads the windows:
// noise alone reaches 40 about once in 10^15 tries.
inline constexpr double kCarrierScore = 40.0;

// The response is learnt for a symbol and up to kMostEchoes before it: at an RT60 of 1.2 s the
// ringing of a symbol eight back has fallen by about 25 dB. Fewer over few windows, so that
// each term is learnt from eight windows at least.
inline constexpr int kMostEchoes = 8;
inline constexpr std::size_t kResponseTerms = kMostEchoes + 1;
inline constexpr int echoesOver(std::size_t windows) {
  return std::clamp(static_cast<int>(windows / 8) - 1, 1, kMostEchoes);
}

// A tone's response to its own symbol (term 0) and to the echoes before it, and the energy
// it leaves unexplained.
template <typename P, std::size_t N>
struct RoomResponse {
  std::array<P, N> terms{};
  ScalarOf<P> misfit = 0;
};

// Added to the diagonal of the normal equations of a response: a little damping keeps terms
// that never sounded (or always together) at zero.
inline constexpr double kResponseDamping = 0.5;

// What a tone measures in every window the ringing of its sounding windows reaches, per term
// (at most N, `terms` of them): `sounding` is a reading of where it sounds (bits of `count`
// windows), `at(w)` its phasor in window w. A sounding window adds the tone as measured to
// every window its ringing reaches: the right side of the normal equations of its response.
template <std::size_t N, typename At>
auto projectedOnto(Span<const std::uint32_t> sounding, int count, int terms, At at) {
  std::array<decltype(at(0)), N> projected{};
  for (int u = 0; u < count; ++u) {
    if (!bitAt(sounding.data(), u)) continue;
    for (int a = 0; a < terms && u + a < count; ++a) {
      projected[static_cast<std::size_t>(a)] = projected[static_cast<std::size_t>(a)] + at(u + a);
    }
  }
  return projected;
}

// Learns a tone's response by least squares from a reading of where it sounds and what it
// projects onto that reading (projectedOnto), `energy` its energy over all the windows.
template <typename P, std::size_t N>
RoomResponse<P, N> responseFrom(const std::array<P, N>& projected,
                                Span<const std::uint32_t> sounding, int count, int terms,
                                ScalarOf<P> energy) {
  using S = ScalarOf<P>;
  // Windows w in which both terms a <= b sound: symbols u = w - b and u + b - a both
  // sounding, for u up to count - 1 - b: the pairs d = b - a apart, less those past that end.
  std::array<std::array<S, N>, N> normal{};
  for (int d = 0; d < terms; ++d) {
    const int pairs = pairsApart(sounding, d, count - 1 - d);
    for (int a = 0; a + d < terms; ++a) {
      const int b = a + d;
      int together = pairs;
      for (int u = count - b; u <= count - 1 - d; ++u) {
        if (u >= 0 && bitAt(sounding.data(), u) && bitAt(sounding.data(), u + d)) --together;
      }
      const S value = static_cast<S>(together) + (d == 0 ? static_cast<S>(kResponseDamping) : S(0));
      normal[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)] = value;
      normal[static_cast<std::size_t>(b)][static_cast<std::size_t>(a)] = value;
    }
  }
  const auto solved = solveReal(normal, projected, static_cast<std::size_t>(terms));
  RoomResponse<P, N> response;
  response.terms = solved;  // 0 past `terms`
  S explained = 0;
  for (std::size_t a = 0; a < static_cast<std::size_t>(terms); ++a) {
    explained += real(conj(solved[a]) * projected[a]);
  }
  response.misfit = energy - explained;
  return response;
}

// Learns a tone's response, `terms` of at most N, by least squares from a reading of where it
// sounds (`sounding`, bits of `count` windows); `at(w)` is its phasor in window w, `energy`
// its energy over them all.
template <std::size_t N, typename At>
auto learnResponse(Span<const std::uint32_t> sounding, int count, int terms, At at,
                   ScalarOf<decltype(at(0))> energy) {
  return responseFrom(projectedOnto<N>(sounding, count, terms, at), sounding, count, terms, energy);
}

// A tone read again through its response `h` (its first `terms`), over `count` windows: each
// symbol from every window its ringing reaches, each weighed by the response there, with the
// ringing of the others taken out, and from all its passes together (`passWindows` apart; 0
// when not known). At a spot where the direct sound and the early reflections cancel, a
// symbol's ringing may be louder than its own window. Symbol by symbol, a decision that
// changes is taken out of what the following readings see.
//
// `unexplained(w)` is the tone as measured in window w, a P& that is left holding what the
// reading leaves unexplained; `sounding` (bits of the windows) is the reading, updated;
// `level(a, on)` receives each symbol's level, on 1 and off 0.
template <typename P, std::size_t N, typename Unexplained, typename Level>
void readThroughResponse(const std::array<P, N>& h, int terms, int count, int passWindows,
                         std::uint32_t* sounding, Unexplained unexplained, Level level) {
  using S = ScalarOf<P>;
  // Symbol a sounds through term e in window a + e.
  const auto reach = [&](int a) { return std::min(terms, count - a); };
  for (int a = 0; a < count; ++a) {
    if (!bitAt(sounding, a)) continue;
    for (int e = 0; e < reach(a); ++e)
      unexplained(a + e) = unexplained(a + e) - h[static_cast<std::size_t>(e)];
  }
  // The strength of the terms reaching at most e + 1 windows.
  std::array<S, N> strengthWithin{};
  S strengthSum = 0;
  for (int e = 0; e < terms; ++e) {
    strengthSum += norm(h[static_cast<std::size_t>(e)]);
    strengthWithin[static_cast<std::size_t>(e)] = strengthSum;
  }
  const int step = passWindows > 0 ? passWindows : count;
  for (int first = 0; first < std::min(step, count); ++first) {
    S heard = 0;
    S strength = 0;
    for (int a = first; a < count; a += step) {
      // What the windows it reaches leave unexplained, with its own share put back.
      const S own = strengthWithin[static_cast<std::size_t>(reach(a) - 1)];
      strength += own;
      heard += bitAt(sounding, a) ? own : S(0);
      for (int e = 0; e < reach(a); ++e) {
        heard += real(conj(h[static_cast<std::size_t>(e)]) * unexplained(a + e));
      }
    }
    const S on = strength > S(0) ? heard / strength : S(0);
    const bool sounds = on > S(0.5);
    for (int a = first; a < count; a += step) {
      level(a, on);
      if (sounds == bitAt(sounding, a)) continue;
      setBit(sounding, a, sounds);
      for (int e = 0; e < reach(a); ++e) {
        const P term = h[static_cast<std::size_t>(e)];
        unexplained(a + e) = sounds ? unexplained(a + e) - term : unexplained(a + e) + term;
      }
    }
  }
}

// Where values that gather at two places gather: a few rounds of two-means from the middle.
// `valueAt(i)` for i < count; returns {low, high}, {-1, 1} when they do not split.
template <typename Values>
auto twoEnds(int count, Values valueAt) {
  using S = decltype(valueAt(0));
  S low = -1;
  S high = 1;
  S split = 0;
  for (int round = 0; round < 8; ++round) {
    std::array<S, 2> sums{};
    std::array<int, 2> counts{};
    for (int i = 0; i < count; ++i) {
      const S value = valueAt(i);
      const std::size_t side = value > split ? 1 : 0;
      sums[side] += value;
      ++counts[side];
    }
    if (counts[0] == 0 || counts[1] == 0) break;
    low = sums[0] / static_cast<S>(counts[0]);
    high = sums[1] / static_cast<S>(counts[1]);
    split = (low + high) / S(2);
  }
  return std::pair{low, high};
}

// A first reading of a tone that needs no reading before it. The ringing of a tone is the
// room's echo of what it measured in the windows before, so each window is predicted from the
// kPast before it plus a constant; what the prediction misses is the current symbol's own
// share, the response times whether it sounds. Those residuals spread along one line, between
// the windows where the tone is off and those where it is on; the end where the tone measures
// louder is taken as on (a search may try the other way round as well).
template <typename P>
struct TonePrediction {
  static constexpr int kPast = 3;
  std::array<P, kPast + 1> fit{};  // the constant, then the kPast windows before
  P mean{};                        // of the residuals
  P axis{};                        // turns the line they spread along onto the real axis
  ScalarOf<P> energy = 0;          // the tone's over every window, which the fit sums anyway

  // What the prediction misses in window w (kPast at least).
  template <typename At>
  P residual(const At& at, int w) const {
    P own = at(w);
    for (int i = 1; i <= kPast; ++i) own = own - fit[static_cast<std::size_t>(i)] * at(w - i);
    return own;
  }
  // Where a window whose residual is `missed` lies along the line, towards on.
  ScalarOf<P> along(P missed) const { return real((missed - mean) * axis); }
  template <typename At>
  ScalarOf<P> along(const At& at, int w) const {
    return along(residual(at, w));
  }
};

// The prediction of a tone over `count` windows, `at(w)` its phasor in window w: its fit
// (fitPrediction), then the line its residuals spread along (placeLine), each a pass or two
// over the windows, which a device may take in turn.
//
// The fit's normal equations hold, for each window from kPast on, the products of the kPast
// windows before it with each other and with it: the sums of conj(y(u + d)) y(u) for d up to
// kPast, but for a few windows at either end. So one pass sums them over every window, and the
// ends are taken off after.
template <typename At>
auto fitPrediction(int count, At at) {
  using P = decltype(at(0));
  using S = ScalarOf<P>;
  constexpr int kPast = TonePrediction<P>::kPast;
  constexpr std::size_t kUnknowns = kPast + 1;
  P total{};
  std::array<P, kUnknowns> apart{};       // [d]: the sum of conj(y(u + d)) y(u) over every u
  std::array<P, kUnknowns - 1> before{};  // [i]: y(u - 1 - i)
  for (int u = 0; u < count; ++u) {
    const P y = at(u);
    total = total + y;
    apart[0] = apart[0] + P{norm(y)};
    for (int d = 1; d <= std::min(u, kPast); ++d)
      apart[static_cast<std::size_t>(d)] =
          apart[static_cast<std::size_t>(d)] + conj(y) * before[static_cast<std::size_t>(d - 1)];
    for (std::size_t i = before.size() - 1; i > 0; --i) before[i] = before[i - 1];
    before[0] = y;
  }
  // The sums of y(v) and of conj(y(u + d)) y(u) for v, u = from ... to.
  const auto phasors = [&](int from, int to) {
    P sum{};
    for (int v = from; v <= to; ++v) sum = sum + at(v);
    return sum;
  };
  const auto products = [&](int d, int from, int to) {
    P sum{};
    for (int u = from; u <= to; ++u) sum = sum + conj(at(u + d)) * at(u);
    return sum;
  };
  // Unknown a multiplies y(w - a) (the constant, 1, for a = 0), for w = kPast ... count - 1.
  std::array<std::array<P, kUnknowns>, kUnknowns> normal{};
  std::array<P, kUnknowns> projected{};
  normal[0][0] = P{static_cast<S>(count - kPast)};
  projected[0] = total - phasors(0, kPast - 1);
  for (int b = 1; b <= kPast; ++b) {
    const auto j = static_cast<std::size_t>(b);
    normal[0][j] = total - phasors(0, kPast - 1 - b) - phasors(count - b, count - 1);
    projected[j] = conj(apart[j] - products(b, 0, kPast - 1 - b));
    for (int a = 1; a <= b; ++a) {
      const int d = b - a;
      normal[static_cast<std::size_t>(a)][j] = apart[static_cast<std::size_t>(d)] -
                                               products(d, 0, kPast - 1 - b) -
                                               products(d, count - b, count - 1 - d);
    }
  }
  // The normal equations are Hermitian: below the diagonal, the conjugates of above.
  for (std::size_t a = 1; a < kUnknowns; ++a) {
    for (std::size_t b = 0; b < a; ++b) normal[a][b] = conj(normal[b][a]);
  }
  TonePrediction<P> prediction;
  prediction.fit = solve(normal, projected, kUnknowns);
  prediction.energy = real(apart[0]);
  return prediction;
}

// `missed(w)` is what the prediction misses in window w (its residual) and `level(w)` the
// tone's level there, for w = kPast ... count - 1. The line's end towards which the windows
// that measure louder than the mean lie is on: that is where
//   sum over w of along(w) (level(w) - mean level) = Re(axis sum of (missed(w) - mean)
//                                                      (level(w) - mean level))
// is positive, which the pass that places the line sums as well.
template <typename P, typename Missed, typename Level>
void placeLine(TonePrediction<P>& prediction, int count, Missed missed, Level level) {
  using S = ScalarOf<P>;
  constexpr int kPast = TonePrediction<P>::kPast;
  const S n = static_cast<S>(count - kPast);
  P mean{};
  S meanLevel = 0;
  for (int w = kPast; w < count; ++w) {
    mean = mean + missed(w);
    meanLevel += level(w);
  }
  mean = (S(1) / n) * mean;
  meanLevel /= n;
  P spread{};
  P louder{};
  for (int w = kPast; w < count; ++w) {
    const P d = missed(w) - mean;
    spread = spread + d * d;
    louder = louder + (level(w) - meanLevel) * d;
  }
  const S angle = -std::atan2(imag(spread), real(spread)) / S(2);
  prediction.mean = mean;
  prediction.axis = P{std::cos(angle), std::sin(angle)};
  if (real(prediction.axis * louder) < S(0)) prediction.axis = S(-1) * prediction.axis;
}

template <typename At>
auto predictTone(int count, At at) {
  auto prediction = fitPrediction(count, at);
  const auto fit = prediction;
  placeLine(
      prediction, count, [&](int w) { return fit.residual(at, w); },
      [&](int w) { return abs(at(w)); });
  return prediction;
}

// A loop of one frame repeats every kFrameBytes windows, and so does what the room makes of
// it: a tone has only 2^kFrameBytes ways of sounding throughout, few enough to try every one.
// Each way is fitted, through the first few terms of a response, to the tone's mean over the
// passes window by window of the frame, with the ringing of the frame before wrapping round.
// Keeps the `Count` ways whose fit explains the most, the best first; bit i of a way says
// whether the tone sounds in window i of the frame. The ways may be tried a few at a time
// (tryWays), so that a device can spread the work.
//
// A way's fit explains p^H N^-1 p of the means, where p sums the means under each term's
// windows and N counts the windows two terms share. The terms are the way turned by 0 ... 3
// windows, so N counts only how many of its windows sound together d = 0 ... 3 apart: 69 sets
// of counts among the 1 024 ways, whose inverses are worked out once, before the program runs.
// The ways are tried in the order of a Gray code, each one window from the one before, so that
// p changes by a mean per term.
template <std::size_t Count, typename P>
class RepeatingWays {
 public:
  static constexpr int kWays = 1 << kFrameBytes;

  // The tone's mean per window of the frame: `at(w)` is its phasor in window w of `count`,
  // window 0 starting a frame. Forgets the ways tried.
  template <typename At>
  void measure(int count, At at) {
    mean_ = {};
    std::array<int, kFrameBytes> copies{};
    for (int w = 0; w < count; ++w) {
      const auto i = static_cast<std::size_t>(w % kFrameBytes);
      mean_[i] = mean_[i] + at(w);
      ++copies[i];
    }
    for (std::size_t i = 0; i < mean_.size(); ++i)
      mean_[i] = (S(1) / static_cast<S>(std::max(1, copies[i]))) * mean_[i];
    kept_ = 0;
  }

  // Tries the ways `from` ... `to` - 1 of the Gray code.
  void tryWays(int from, int to) {
    std::array<P, kTerms> sums = sumsOf(wayAt(from));
    for (int at = from; at < to; ++at) {
      const int way = wayAt(at);
      if (at > from) {
        // One window turned round from the way before: bit `changed`, in every term's turn.
        const int changed = lowestOne(static_cast<std::uint32_t>(at));
        const bool on = ((way >> changed) & 1) != 0;
        for (std::size_t a = 0; a < kTerms; ++a) {
          const P mean =
              mean_[static_cast<std::size_t>((changed + static_cast<int>(a)) % kFrameBytes)];
          sums[a] = on ? sums[a] + mean : sums[a] - mean;
        }
      }
      keep(way, explained(way, sums));
    }
  }

  const std::array<int, Count>& best() const { return best_; }

 private:
  using S = ScalarOf<P>;
  static constexpr std::size_t kTerms = 4;
  static constexpr std::size_t kEntries = kTerms * (kTerms + 1) / 2;  // of a symmetric N^-1
  static constexpr std::size_t kMostShapes = 72;                      // 69 for frames of 10 windows

  static constexpr int wayAt(int gray) { return gray ^ (gray >> 1); }

  // Bit i of `way` turned by `by`: whether the symbol `by` windows before window i sounds.
  static constexpr std::uint32_t turned(int way, int by) {
    return static_cast<std::uint32_t>(((way << by) | (way >> (kFrameBytes - by))) & (kWays - 1));
  }

  // The inverse of each way's N, above the diagonal row by row, and which one each way takes.
  struct Inverses {
    std::array<std::uint8_t, kWays> shapeOf{};
    std::array<std::array<S, kEntries>, kMostShapes> inverse{};
  };
  static constexpr Inverses inverses() {
    Inverses made{};
    std::array<int, kMostShapes> keys{};  // each shape's counts, four bits apiece
    std::size_t shapes = 0;
    for (int way = 0; way < kWays; ++way) {
      std::array<int, kTerms> apart{};
      int key = 0;
      for (std::size_t d = 0; d < kTerms; ++d) {
        apart[d] = countOnes(static_cast<std::uint32_t>(way) & turned(way, static_cast<int>(d)));
        key = key * 16 + apart[d];
      }
      std::size_t shape = 0;
      while (shape < shapes && keys[shape] != key) ++shape;
      if (shape == shapes) {
        keys[shapes++] = key;
        made.inverse[shape] = inverseOf(apart);
      }
      made.shapeOf[static_cast<std::size_t>(way)] = static_cast<std::uint8_t>(shape);
    }
    return made;
  }
  // N^-1 for windows sounding together `apart[d]` times d apart, with the damping on the
  // diagonal: Gauss-Jordan, in double.
  static constexpr std::array<S, kEntries> inverseOf(const std::array<int, kTerms>& apart) {
    std::array<std::array<double, 2 * kTerms>, kTerms> m{};
    for (std::size_t a = 0; a < kTerms; ++a) {
      for (std::size_t b = 0; b < kTerms; ++b)
        m[a][b] = apart[a > b ? a - b : b - a] + (a == b ? kResponseDamping : 0.0);
      m[a][kTerms + a] = 1.0;
    }
    for (std::size_t col = 0; col < kTerms; ++col) {
      const double pivot = m[col][col];
      for (double& entry : m[col]) entry /= pivot;
      for (std::size_t row = 0; row < kTerms; ++row) {
        if (row == col) continue;
        const double factor = m[row][col];
        for (std::size_t k = 0; k < 2 * kTerms; ++k) m[row][k] -= factor * m[col][k];
      }
    }
    std::array<S, kEntries> upper{};
    std::size_t i = 0;
    for (std::size_t a = 0; a < kTerms; ++a)
      for (std::size_t b = a; b < kTerms; ++b) upper[i++] = static_cast<S>(m[a][kTerms + b]);
    return upper;
  }
  static constexpr Inverses kInverses = inverses();

  // p for `way`: the means under each term's windows.
  std::array<P, kTerms> sumsOf(int way) const {
    std::array<P, kTerms> sums{};
    for (std::size_t a = 0; a < kTerms; ++a) {
      for (std::uint32_t bits = turned(way, static_cast<int>(a)); bits != 0; bits &= bits - 1)
        sums[a] = sums[a] + mean_[static_cast<std::size_t>(lowestOne(bits))];
    }
    return sums;
  }

  // What the fit of `way` explains of the means: p^H N^-1 p.
  static S explained(int way, const std::array<P, kTerms>& sums) {
    const std::array<S, kEntries>& inverse =
        kInverses.inverse[kInverses.shapeOf[static_cast<std::size_t>(way)]];
    S sum = 0;
    std::size_t i = 0;
    for (std::size_t a = 0; a < kTerms; ++a) {
      sum += inverse[i++] * norm(sums[a]);
      for (std::size_t b = a + 1; b < kTerms; ++b)
        sum += S(2) * inverse[i++] * inPhase(sums[a], sums[b]);
    }
    return sum;
  }

  // Kept sorted, the most explained first.
  void keep(int way, S explained) {
    std::size_t place = kept_;
    while (place > 0 && explained > most_[place - 1]) --place;
    if (place == Count) return;
    kept_ = std::min(kept_ + 1, Count);
    for (std::size_t i = kept_ - 1; i > place; --i) {
      best_[i] = best_[i - 1];
      most_[i] = most_[i - 1];
    }
    best_[place] = way;
    most_[place] = explained;
  }

  std::array<P, kFrameBytes> mean_{};
  std::array<int, Count> best_{};
  std::array<S, Count> most_{};
  std::size_t kept_ = 0;
};

// The `Count` ways of repeating every frame that explain the tone best (see RepeatingWays),
// tried all at once.
template <std::size_t Count, typename At>
std::array<int, Count> bestRepeatingWays(int count, At at) {
  RepeatingWays<Count, decltype(at(0))> ways;
  ways.measure(count, at);
  ways.tryWays(0, ways.kWays);
  return ways.best();
}

// How widely noise may spread a tone's levels (on 2, off 0) before its readings count as less
// certain: about 20 dB between the tone and what its response leaves unexplained.
inline constexpr double kSureSpread = 0.15;

// How far a tone read through `response` over `windows` windows can be believed, 0 ... 1: a
// response that explains the recording poorly, because the tone is faint or its reading or
// response is wrong, spreads the levels by its unexplained part, and they move towards the
// threshold by as much.
template <typename P, std::size_t N>
ScalarOf<P> fitWeight(const RoomResponse<P, N>& response, int windows) {
  using S = ScalarOf<P>;
  const S direct = abs(response.terms[0]);
  const S spread = std::sqrt(S(2) * std::max(response.misfit, S(0)) / static_cast<S>(windows));
  return direct > S(0) ? std::min(S(1), static_cast<S>(kSureSpread) * direct / spread) : S(0);
}

}  // namespace sonicsend::receiver
