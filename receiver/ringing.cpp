#include "ringing.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <span>

#include "reading.h"
#include "tones.h"

namespace sonicsend::receiver {
namespace {

using Complex = std::complex<double>;

// The response is learnt for the current symbol and up to kMaxEchoes before it: at an RT60 of
// 1.2 s the ringing of a symbol eight back has fallen by about 25 dB. None is learnt for the
// next symbol: where the direct sound and the early reflections of a tone cancel, its echo in
// the following window may be louder than its own window, and a reading one symbol late
// would explain the recording as well as the right one through such a term.
constexpr int kMaxEchoes = 8;
// How clearly the carriers must show (see carrierScore): noise alone reaches 40 about once in
// 10^15 tries.
constexpr double kCarrierScore = 40.0;
// How widely noise may spread a tone's levels (on 2, off 0) before its readings count as
// less certain: about 20 dB between the tone and what its response leaves unexplained.
constexpr double kSureSpread = 0.15;
// Rounds in which one tone is read on its own from a first reading.
constexpr int kSettleRounds = 3;
// Terms of a response below this share of its loudest, before that one, belong to a reading
// that many symbols early (see symbolsEarly).
constexpr double kEarlyShare = 0.25;
// Readings whose misfits lie within this factor explain a tone alike.
constexpr double kAlike = 1.05;
// Rounds of choosing readings, each with what the other tones say after the last.
constexpr int kChoiceRounds = 3;
// Windows a pass apart repeat when what differs between them holds less than this share of
// their energy: noise 10 dB below the tones in every window gives a tenth.
constexpr double kRepeatsWithin = 0.1;
// Ways of sounding of a one-frame message's tone, the best explaining, that readings start from.
constexpr std::size_t kRepeatingStarts = 3;
// Rounds of reading and learning: each reading removes the ringing of the one before.
constexpr int kRounds = 4;

// Where values that gather at two places gather: a few rounds of two-means from the middle.
std::pair<double, double> twoEnds(std::span<const double> values) {
  double low = -1.0;
  double high = 1.0;
  double split = 0.0;
  for (int round = 0; round < 8; ++round) {
    std::array<double, 2> sums{};
    std::array<double, 2> counts{};
    for (double value : values) {
      const std::size_t side = value > split ? 1 : 0;
      sums[side] += value;
      counts[side] += 1.0;
    }
    if (counts[0] == 0.0 || counts[1] == 0.0) break;
    low = sums[0] / counts[0];
    high = sums[1] / counts[1];
    split = (low + high) / 2.0;
  }
  return {low, high};
}

// Solves the small Hermitian system `a` x = `b` in place (Gaussian elimination with pivoting).
template <std::size_t N>
std::array<Complex, N> solve(std::array<std::array<Complex, N>, N> a, std::array<Complex, N> b,
                             std::size_t n) {
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
  std::array<Complex, N> x{};
  for (std::size_t col = n; col-- > 0;) {
    Complex sum = b[col];
    for (std::size_t k = col + 1; k < n; ++k) sum -= a[col][k] * x[k];
    x[col] = std::abs(a[col][col]) == 0.0 ? Complex{} : sum / a[col][col];
  }
  return x;
}

class RingingCanceller {
 public:
  explicit RingingCanceller(const SymbolGrid& grid)
      : phasors_(grid.phasors), count_(grid.phasors.size()) {
    echoes_ = static_cast<std::size_t>(
        std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(count_) / 8 - 1, 1, kMaxEchoes));
    measureDrift();
    alignDrift();
    passWindows_ = findPassLength();
  }

  // The carriers sound in every other window, each time with the same ringing behind it, so
  // once the drift is undone each carrier's phasor takes one fixed value in its own windows
  // and another in the rest. Noise gives neither: this is how far apart the two values lie,
  // in standard errors squared, added over both carriers. It also tells the even windows.
  double carrierScore() {
    double score = 0.0;
    double evenVotes = 0.0;
    for (const auto& [tone, sign] : {std::pair{kEvenCarrier, 1.0}, std::pair{kOddCarrier, -1.0}}) {
      std::array<Complex, 2> sums{};
      std::array<double, 2> squares{};
      std::array<double, 2> counts{};
      for (std::size_t w = 0; w < count_; ++w) {
        const Complex y = aligned(tone, w);
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
    evenOffset_ = evenVotes >= 0.0 ? 0 : 1;
    return score;
  }

  std::vector<ToneLevels> run() {
    std::vector<ToneLevels> levels(count_);
    for (std::size_t t = 0; t < SymbolRead::kTones; ++t) predict(toneOf(t), levels);
    sounding_.assign(count_, {});
    acquire(levels);
    std::size_t checked = checkingFrames(levels);
    for (int round = 0; round < kRounds; ++round) {
      // A round that makes fewer frames check went astray: the reading before it stays.
      const std::vector<ToneLevels> before = levels;
      setSounding(bytesOf(levels));
      for (std::size_t t = 0; t < SymbolRead::kTones; ++t) cancel(toneOf(t), levels);
      repairByParity(levels);
      const std::size_t now = checkingFrames(levels);
      if (now < checked) {
        levels = before;
        break;
      }
      checked = now;
    }
    placeFrameNumbers(levels);
    weighByFit(levels);
    for (std::size_t w = 0; w < count_; ++w) {
      levels[w][kEvenCarrier] = isEven(w) ? 1.0f : 0.0f;
      levels[w][kOddCarrier] = isEven(w) ? 0.0f : 1.0f;
    }
    return levels;
  }

 private:
  static constexpr std::size_t kTerms = kMaxEchoes + 1;

  const std::vector<TonePhasors>& phasors_;
  std::size_t evenOffset_ = 0;
  std::size_t count_;
  std::size_t echoes_ = 1;
  double driftPerK_ = 0.0;       // phase turned per window and per tone number k
  std::size_t passWindows_ = 0;  // windows per pass of the loop, 0 when not known
  std::vector<std::array<bool, kToneCount>> sounding_;
  std::vector<std::array<Complex, kToneCount>> aligned_;  // per window and tone, drift undone
  std::array<double, kToneCount> energy_{};               // per tone, over every window

  bool isEven(std::size_t w) const { return (w + evenOffset_) % 2 == 0; }

  // A clock mismatch between sender and recorder turns every tone's phase by the same small
  // angle from one window to the next, proportional to its frequency. Each carrier repeats
  // every other window, with the same ringing behind it, so its turn over two windows shows it.
  void measureDrift() {
    double weighted = 0.0;
    double weights = 0.0;
    for (const auto& [tone, k] :
         {std::pair{kEvenCarrier, kCarrierEvenK}, std::pair{kOddCarrier, kCarrierOddK}}) {
      Complex turn{};
      for (std::size_t w = 0; w + 2 < count_; ++w) {
        turn += Complex(phasors_[w + 2][tone]) * std::conj(Complex(phasors_[w][tone]));
      }
      weighted += std::abs(turn) * std::arg(turn) / (2.0 * k);
      weights += std::abs(turn);
    }
    driftPerK_ = weights > 0.0 ? weighted / weights : 0.0;
  }

  // The drift is fixed once measured, and every reading goes through the aligned phasors
  // again and again: they are turned once, and each tone's energy summed once.
  void alignDrift() {
    aligned_.resize(count_);
    for (std::size_t w = 0; w < count_; ++w) {
      for (std::size_t tone = 0; tone < kToneCount; ++tone) {
        const double k = static_cast<double>(tone + kCarrierEvenK);
        aligned_[w][tone] =
            Complex(phasors_[w][tone]) * std::polar(1.0, -driftPerK_ * k * static_cast<double>(w));
      }
    }
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      double energy = 0.0;
      for (std::size_t w = 0; w < count_; ++w) energy += std::norm(aligned_[w][tone]);
      energy_[tone] = energy;
    }
  }

  void setSounding(const std::vector<std::uint8_t>& bytes) {
    sounding_.assign(count_, {});
    for (std::size_t w = 0; w < count_; ++w) {
      for (std::size_t bit = 0; bit < kBitToneK.size(); ++bit) {
        sounding_[w][toneOf(bit)] = ((bytes[w] >> bit) & 1) != 0;
      }
      sounding_[w][toneOf(kBitToneK.size())] = std::popcount(bytes[w]) % 2 != 0;
    }
  }

  // Term 0: the current symbol, term d: the one d windows back.
  bool term(std::size_t tone, std::size_t w, std::size_t t) const {
    return t <= w && sounding_[w - t][tone];
  }

  Complex aligned(std::size_t tone, std::size_t w) const { return aligned_[w][tone]; }

  // A first reading that needs no reading before it. The ringing of a tone is the room's
  // echo of what the tone measured in the windows before, so each window is predicted from
  // the few before it plus a constant; what the prediction misses is the current symbol's own
  // share, the response times whether it sounds. The constant is that response times how
  // often the tone sounds, which gives the response's phase.
  void predict(std::size_t tone, std::vector<ToneLevels>& levels) const {
    constexpr std::size_t kPast = 3;
    constexpr std::size_t kUnknowns = kPast + 1;
    std::array<std::array<Complex, kTerms>, kTerms> normal{};
    std::array<Complex, kTerms> projected{};
    const auto regressors = [&](std::size_t w) {
      std::array<Complex, kTerms> x{};
      x[0] = 1.0;
      for (std::size_t i = 1; i <= kPast; ++i) x[i] = aligned(tone, w - i);
      return x;
    };
    for (std::size_t w = kPast; w < count_; ++w) {
      const auto x = regressors(w);
      const Complex y = aligned(tone, w);
      for (std::size_t a = 0; a < kUnknowns; ++a) {
        projected[a] += std::conj(x[a]) * y;
        for (std::size_t b = 0; b < kUnknowns; ++b) normal[a][b] += std::conj(x[a]) * x[b];
      }
    }
    const auto fit = solve(normal, projected, kUnknowns);
    std::vector<Complex> own(count_);
    Complex mean{};
    for (std::size_t w = kPast; w < count_; ++w) {
      const auto x = regressors(w);
      own[w] = aligned(tone, w);
      for (std::size_t i = 1; i <= kPast; ++i) own[w] -= fit[i] * x[i];
      mean += own[w];
    }
    const double n = static_cast<double>(count_ - kPast);
    mean /= n;
    // The residuals spread along one line, between the windows where the tone is off and
    // those where it is on; the louder end, as the plain levels show, is usually on (the
    // other way round is tried as well, see firstReadings).
    Complex spread{};
    for (std::size_t w = kPast; w < count_; ++w) spread += (own[w] - mean) * (own[w] - mean);
    const Complex axis = std::polar(1.0, -std::arg(spread) / 2.0);
    std::vector<double> along(count_, 0.0);
    double meanLevel = 0.0;
    for (std::size_t w = kPast; w < count_; ++w) meanLevel += std::abs(phasors_[w][tone]) / n;
    double loudness = 0.0;
    for (std::size_t w = kPast; w < count_; ++w) {
      along[w] = ((own[w] - mean) * axis).real();
      loudness += along[w] * (std::abs(phasors_[w][tone]) - meanLevel);
    }
    if (loudness < 0.0) std::ranges::transform(along, along.begin(), std::negate<>());
    const auto [off, on] = twoEnds(std::span(along).subspan(kPast));
    const double size = on - off;
    for (std::size_t w = 0; w < count_; ++w) {
      const double level = w < kPast || size <= 0.0 ? 1.0 : 2.0 * (along[w] - off) / size;
      levels[w][tone] = static_cast<float>(std::clamp(level, -1.0, 3.0));
    }
  }

  // A tone's response to its symbol (term 0) and to those before it, learnt by least squares
  // from a reading of the tone.
  struct Response {
    std::array<Complex, kTerms> terms{};
    double misfit = 0.0;  // energy the response leaves unexplained
  };

  Response learn(std::size_t tone) const {
    const std::size_t terms = echoes_ + 1;
    std::array<std::array<Complex, kTerms>, kTerms> normal{};
    std::array<Complex, kTerms> projected{};
    for (std::size_t w = 0; w < count_; ++w) {
      const Complex y = aligned(tone, w);
      for (std::size_t a = 0; a < terms; ++a) {
        if (!term(tone, w, a)) continue;
        projected[a] += y;
        for (std::size_t b = 0; b < terms; ++b) normal[a][b] += term(tone, w, b) ? 1.0 : 0.0;
      }
    }
    // A little damping keeps terms that never sounded (or always together) at zero.
    for (std::size_t a = 0; a < terms; ++a) normal[a][a] += 0.5;
    Response response;
    response.terms = solve(normal, projected, terms);
    // Least squares: what is left is the energy minus what the fit explains.
    Complex explained{};
    for (std::size_t a = 0; a < terms; ++a)
      explained += std::conj(response.terms[a]) * projected[a];
    response.misfit = energy_[tone] - explained.real();
    return response;
  }

  // Where the tone lies in every symbol between off (0) and on (2), once the ringing of the
  // symbols around it is taken away. A symbol sounds in its own window and rings on in the
  // windows after it, and at a spot where the direct sound and the early reflections cancel,
  // its ringing may be louder than its own window: so each symbol is read from all the
  // windows it reaches, each weighed by the response there. Symbol by symbol, a decision that
  // changes is taken out of what the following readings see.
  void cancel(std::size_t tone, std::vector<ToneLevels>& levels) {
    const Response response = learn(tone);
    const std::size_t terms = echoes_ + 1;
    std::vector<Complex> unexplained(count_);
    for (std::size_t w = 0; w < count_; ++w) {
      unexplained[w] = aligned(tone, w);
      for (std::size_t t = 0; t < terms; ++t) {
        if (term(tone, w, t)) unexplained[w] -= response.terms[t];
      }
    }
    // Symbol a sounds through term t in window a + t; it sounds again a pass later.
    const auto reaches = [&](std::size_t a, std::size_t t) { return a + t < count_; };
    const std::size_t step = passWindows_ > 0 ? passWindows_ : count_;
    for (std::size_t first = 0; first < std::min(step, count_); ++first) {
      double heard = 0.0;
      double strength = 0.0;
      for (std::size_t a = first; a < count_; a += step) {
        const double was = sounding_[a][tone] ? 1.0 : 0.0;
        for (std::size_t t = 0; t < terms; ++t) {
          if (!reaches(a, t)) continue;
          // What window a + t leaves unexplained, with the symbol's own share put back.
          const Complex own = unexplained[a + t] + was * response.terms[t];
          heard += (std::conj(response.terms[t]) * own).real();
          strength += std::norm(response.terms[t]);
        }
      }
      const double on = strength > 0.0 ? heard / strength : 0.0;
      const bool sounds = on > 0.5;
      for (std::size_t a = first; a < count_; a += step) {
        levels[a][tone] = static_cast<float>(std::clamp(2.0 * on, -1.0, 3.0));
        if (sounds == sounding_[a][tone]) continue;
        sounding_[a][tone] = sounds;
        const double change = sounds ? 1.0 : -1.0;
        for (std::size_t t = 0; t < terms; ++t) {
          if (reaches(a, t)) unexplained[a + t] -= change * response.terms[t];
        }
      }
    }
  }

  // The loop repeats every pass, and so does what the room makes of it: windows a pass apart
  // measure the same but for noise. The pass length is the shortest lag of whole frames at
  // which they clearly do, when the recording holds a second pass to compare.
  std::size_t findPassLength() const {
    for (std::size_t frames = 1; frames <= static_cast<std::size_t>(kMaxFrames); ++frames) {
      const std::size_t lag = frames * kFrameBytes;
      if (2 * lag > count_) break;
      double apart = 0.0;
      double together = 0.0;
      for (std::size_t w = 0; w + lag < count_; ++w) {
        for (std::size_t tone = 0; tone < kToneCount; ++tone) {
          const Complex now = aligned(tone, w);
          const Complex later = aligned(tone, w + lag);
          apart += std::norm(now - later);
          together += std::norm(now) + std::norm(later);
        }
      }
      if (apart < kRepeatsWithin * together) return lag;
    }
    return 0;
  }

  // Reads the tone again and again from `start` on its own, each time learning the response
  // from the last reading; leaves the reading in `levels` and `sounding_` and returns how much
  // of the recording the response it ends with leaves unexplained.
  double settle(std::size_t tone, const std::vector<bool>& start, std::vector<ToneLevels>& levels) {
    for (std::size_t w = 0; w < count_; ++w) sounding_[w][tone] = start[w];
    for (int round = 0; round < kSettleRounds; ++round) cancel(tone, levels);
    Response response = learn(tone);
    if (const std::size_t early = symbolsEarly(response); early > 0) {
      // Every symbol moves on to its own window, and settles again.
      for (std::size_t w = count_; w-- > early;) sounding_[w][tone] = sounding_[w - early][tone];
      for (int round = 0; round < kSettleRounds; ++round) cancel(tone, levels);
      response = learn(tone);
    }
    return response.misfit;
  }

  // A reading some symbols early explains the recording nearly as well as the right one,
  // through a response that is silent in a symbol's own window and those just after it, and
  // loud later: the room cannot hold back the direct sound and every early reflection at once,
  // so the silent terms before the first loud one tell how many symbols early it reads.
  static std::size_t symbolsEarly(const Response& response) {
    double loudest = 0.0;
    for (const Complex& term : response.terms) loudest = std::max(loudest, std::abs(term));
    std::size_t silent = 0;
    while (silent < response.terms.size() &&
           std::abs(response.terms[silent]) < kEarlyShare * loudest) {
      ++silent;
    }
    return silent < response.terms.size() ? silent : 0;
  }

  // One way of reading a tone throughout the recording.
  struct Reading {
    std::vector<float> levels;
    double misfit = 0.0;
  };

  // A reading settles where its response explains the recording; a wrong one usually settles
  // where it explains it worse, but not always: when a tone's ringing nearly cancels its
  // steady sound, a reading and its opposite explain it alike. So each tone keeps the few
  // different readings it settles to from different first readings: the prediction, the
  // same turned round, the plain levels against the carriers' level, and what the other
  // tones say it must be, since every symbol sounds an even number of tones.
  void addReading(std::size_t tone, const std::vector<bool>& start, std::vector<ToneLevels>& levels,
                  std::vector<Reading>& readings) {
    Reading reading;
    reading.misfit = settle(tone, start, levels);
    reading.levels.resize(count_);
    for (std::size_t w = 0; w < count_; ++w) reading.levels[w] = levels[w][tone];
    const auto same = [&](const Reading& other) {
      for (std::size_t w = 0; w < count_; ++w) {
        if ((other.levels[w] > 1.0f) != (reading.levels[w] > 1.0f)) return false;
      }
      return true;
    };
    if (std::none_of(readings.begin(), readings.end(), same))
      readings.push_back(std::move(reading));
  }

  // The carriers' mean level: a tone that is on sounds at twice the carrier's amplitude.
  double carrierLevel() const {
    double carrier = 0.0;
    for (std::size_t w = 0; w < count_; ++w) {
      carrier += std::abs(phasors_[w][isEven(w) ? kEvenCarrier : kOddCarrier]);
    }
    return carrier / static_cast<double>(count_);
  }

  std::vector<Reading> firstReadings(std::size_t tone, double carrier,
                                     std::vector<ToneLevels>& levels) {
    std::vector<std::vector<bool>> starts(4, std::vector<bool>(count_));
    for (std::size_t w = 0; w < count_; ++w) {
      const double level = std::abs(phasors_[w][tone]);
      starts[0][w] = levels[w][tone] > 1.0f;
      starts[1][w] = !starts[0][w];
      starts[2][w] = level > carrier;
      starts[3][w] = level > 1.5 * carrier;
    }
    std::vector<Reading> readings;
    for (const auto& start : starts) addReading(tone, start, levels, readings);
    if (passWindows_ == kFrameBytes) addBestRepeating(tone, levels, readings);
    sortByMisfit(readings);
    return readings;
  }

  // A message of one frame repeats every ten windows, so a tone has only 1024 ways of sounding
  // throughout: few enough to try every one, and start from those that explain it best.
  void addBestRepeating(std::size_t tone, std::vector<ToneLevels>& levels,
                        std::vector<Reading>& readings) {
    constexpr std::size_t kWays = std::size_t{1} << kFrameBytes;
    std::vector<std::pair<double, std::size_t>> misfits;
    for (std::size_t way = 0; way < kWays; ++way) {
      for (std::size_t w = 0; w < count_; ++w)
        sounding_[w][tone] = ((way >> (w % kFrameBytes)) & 1) != 0;
      misfits.emplace_back(learn(tone).misfit, way);
    }
    const auto tried = static_cast<std::ptrdiff_t>(kRepeatingStarts);
    std::partial_sort(misfits.begin(), misfits.begin() + tried, misfits.end());
    for (auto it = misfits.begin(); it != misfits.begin() + tried; ++it) {
      std::vector<bool> start(count_);
      for (std::size_t w = 0; w < count_; ++w)
        start[w] = ((it->second >> (w % kFrameBytes)) & 1) != 0;
      addReading(tone, start, levels, readings);
    }
  }

  static void sortByMisfit(std::vector<Reading>& readings) {
    std::sort(readings.begin(), readings.end(),
              [](const Reading& x, const Reading& y) { return x.misfit < y.misfit; });
  }

  void use(std::size_t tone, const Reading& reading, std::vector<ToneLevels>& levels) {
    for (std::size_t w = 0; w < count_; ++w) {
      levels[w][tone] = reading.levels[w];
      sounding_[w][tone] = reading.levels[w] > 1.0f;
    }
  }

  using ToneReadings = std::array<std::vector<Reading>, SymbolRead::kTones>;
  using Choice = std::array<std::size_t, SymbolRead::kTones>;

  // What the other tones' readings say tone `t` must be, since every symbol sounds an even
  // number of tones.
  std::vector<bool> saidByOthers(std::size_t t) const {
    std::vector<bool> reading(count_);
    for (std::size_t w = 0; w < count_; ++w) {
      bool odd = false;
      for (std::size_t other = 0; other < SymbolRead::kTones; ++other) {
        if (other != t) odd = odd != sounding_[w][toneOf(other)];
      }
      reading[w] = odd;
    }
    return reading;
  }

  // Adds what the others say of tone `t`, and goes on with its best explaining reading.
  void addFromOthers(std::size_t t, std::vector<ToneLevels>& levels, ToneReadings& readings) {
    addReading(toneOf(t), saidByOthers(t), levels, readings[t]);
    sortByMisfit(readings[t]);
    use(toneOf(t), readings[t][0], levels);
  }

  // Starts from each tone's best explaining reading and swaps in other readings, of one tone
  // or two at a time, while that makes clearly more frames pass their checks. Once a choice
  // is made, what the other tones then say of each tone is a reading to choose from as well.
  void acquire(std::vector<ToneLevels>& levels) {
    constexpr std::size_t tones = SymbolRead::kTones;
    ToneReadings readings;
    const double carrier = carrierLevel();
    for (std::size_t t = 0; t < tones; ++t) readings[t] = firstReadings(toneOf(t), carrier, levels);
    for (std::size_t t = 0; t < tones; ++t) use(toneOf(t), readings[t][0], levels);
    for (std::size_t t = 0; t < tones; ++t) addFromOthers(t, levels, readings);
    // A tone read two ways that explain it alike may be either: what the others say then
    // follows each way.
    for (std::size_t u = 0; u < tones; ++u) {
      if (readings[u].size() < 2 || readings[u][1].misfit > kAlike * readings[u][0].misfit)
        continue;
      use(toneOf(u), readings[u][1], levels);
      for (std::size_t t = 0; t < tones; ++t) {
        if (t != u) addFromOthers(t, levels, readings);
      }
      use(toneOf(u), readings[u][0], levels);
    }
    // Every round ends with each tone's chosen reading in use, whenever the rounds stop.
    Choice chosen{};
    for (int round = 0; round < kChoiceRounds; ++round) {
      chosen = choose(readings, chosen, levels);
      bool added = false;
      for (std::size_t t = 0; t < tones; ++t) {
        const std::size_t before = readings[t].size();
        addReading(toneOf(t), saidByOthers(t), levels, readings[t]);
        added = added || readings[t].size() > before;
        use(toneOf(t), readings[t][chosen[t]], levels);
      }
      if (!added) break;
    }
  }

  // The swaps of one tone's or two tones' readings, from `chosen`, while one makes clearly
  // more frames check: the one making most, and of those alike, the one whose readings explain
  // the recording best.
  Choice choose(const ToneReadings& readings, Choice chosen, std::vector<ToneLevels>& levels) {
    constexpr std::size_t tones = SymbolRead::kTones;
    for (std::size_t t = 0; t < tones; ++t) use(toneOf(t), readings[t][chosen[t]], levels);
    std::size_t checked = checkingFrames(levels);
    for (bool better = true; better;) {
      better = false;
      Choice best = chosen;
      std::size_t mostChecked = 0;
      double leastMisfit = 0.0;
      const auto tryChoice = [&](const Choice& choice) {
        for (std::size_t t = 0; t < tones; ++t) use(toneOf(t), readings[t][choice[t]], levels);
        const std::size_t count = checkingFrames(levels);
        if (count < checked + 2 || count < mostChecked) return;
        double misfit = 0.0;
        for (std::size_t t = 0; t < tones; ++t) misfit += readings[t][choice[t]].misfit;
        if (count > mostChecked || misfit < leastMisfit) {
          mostChecked = count;
          leastMisfit = misfit;
          best = choice;
        }
      };
      for (std::size_t a = 0; a < tones; ++a) {
        for (std::size_t ra = 0; ra < readings[a].size(); ++ra) {
          if (ra == chosen[a]) continue;
          auto choice = chosen;
          choice[a] = ra;
          tryChoice(choice);
          for (std::size_t b = a + 1; b < tones; ++b) {
            for (std::size_t rb = 0; rb < readings[b].size(); ++rb) {
              if (rb == chosen[b]) continue;
              choice[b] = rb;
              tryChoice(choice);
              choice[b] = chosen[b];
            }
          }
        }
      }
      if (best != chosen) {
        chosen = best;
        checked = mostChecked;
        better = true;
      }
    }
    return chosen;
  }

  // A tone read through a response that explains the recording poorly, because the tone is
  // faint or its reading or response is wrong, is read with less certainty: its levels move
  // towards the threshold by how far its unexplained part spreads them.
  void weighByFit(std::vector<ToneLevels>& levels) {
    setSounding(bytesOf(levels));
    for (std::size_t t = 0; t < SymbolRead::kTones; ++t) {
      const std::size_t tone = toneOf(t);
      const Response response = learn(tone);
      const double direct = std::abs(response.terms[0]);
      const double spread =
          std::sqrt(2.0 * std::max(response.misfit, 0.0) / static_cast<double>(count_)) / direct;
      const double weight = direct > 0.0 ? std::min(1.0, kSureSpread / spread) : 0.0;
      for (auto& window : levels) {
        window[tone] = static_cast<float>(1.0 + (window[tone] - 1.0) * weight);
      }
    }
  }

  // What the other tones of a window say `tone` must be, as sure as the least sure of them.
  static float fromOthers(const ToneLevels& window, std::size_t tone) {
    bool odd = false;
    float sureness = 1.0f;
    for (std::size_t t = 0; t < SymbolRead::kTones; ++t) {
      if (toneOf(t) == tone) continue;
      odd = odd != (window[toneOf(t)] > 1.0f);
      sureness = std::min(sureness, std::abs(window[toneOf(t)] - 1.0f));
    }
    return odd ? 1.0f + sureness : 1.0f - sureness;
  }

  // A tone whose ringing nearly cancels its steady sound may be read badly throughout while
  // the others are read well. Every symbol sounds an even number of tones, so the others tell
  // what that tone must be; it is taken from them where that makes clearly more frames check.
  void repairByParity(std::vector<ToneLevels>& levels) const {
    std::size_t mostChecked = checkingFrames(levels);
    std::vector<ToneLevels> best;
    for (std::size_t t = 0; t < SymbolRead::kTones; ++t) {
      std::vector<ToneLevels> repaired = levels;
      for (auto& window : repaired) window[toneOf(t)] = fromOthers(window, toneOf(t));
      const std::size_t checked = checkingFrames(repaired);
      if (checked > mostChecked + 1) {
        mostChecked = checked;
        best = std::move(repaired);
      }
    }
    if (!best.empty()) levels = std::move(best);
  }

  std::vector<std::uint8_t> bytesOf(const std::vector<ToneLevels>& levels) const {
    std::vector<std::uint8_t> bytes(count_);
    for (std::size_t w = 0; w < count_; ++w) {
      Levels own{};
      std::copy(levels[w].begin(), levels[w].end(), own.begin());
      bytes[w] = readSymbol(own, 1.0).byte;
    }
    return bytes;
  }

  // Which carrier is on in a window is as ambiguous, for a carrier in a room, as a tone turned
  // round; but a frame always starts on the even symbols' carrier, so the frames that check
  // tell the even windows.
  void placeFrameNumbers(const std::vector<ToneLevels>& levels) {
    const std::array<std::size_t, 2> starts = checkingFramesByStart(levels);
    if (starts[0] != starts[1]) evenOffset_ = starts[0] > starts[1] ? 0 : 1;
  }

  // Frames whose check holds, at every place a frame may start.
  std::size_t checkingFrames(const std::vector<ToneLevels>& levels) const {
    const std::array<std::size_t, 2> starts = checkingFramesByStart(levels);
    return starts[0] + starts[1];
  }

  // The same, apart for frames starting in even and in odd windows.
  std::array<std::size_t, 2> checkingFramesByStart(const std::vector<ToneLevels>& levels) const {
    const std::vector<std::uint8_t> bytes = bytesOf(levels);
    std::array<std::size_t, 2> starts{};
    for (std::size_t w = 0; w + kFrameBytes <= count_; ++w) {
      FrameBytes frame{};
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(w), kFrameBytes, frame.begin());
      if (frameChecks(frame)) ++starts[w % 2];
    }
    return starts;
  }
};

}  // namespace

std::vector<ToneLevels> cancelRinging(const SymbolGrid& grid) {
  if (grid.phasors.size() != grid.levels.size() || grid.phasors.size() < 2 * kFrameBytes) {
    return {};
  }
  RingingCanceller canceller(grid);
  if (canceller.carrierScore() < kCarrierScore) return {};
  return canceller.run();
}

}  // namespace sonicsend::receiver
