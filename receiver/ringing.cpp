#include "ringing.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <span>

#include "reading.h"
#include "roomResponse.h"
#include "tones.h"

namespace sonicsend::receiver {
namespace {

// How clearly the carriers must show (see fitCarriers): noise alone reaches 40 about once in
// 10^15 tries.
constexpr double kCarrierScore = 40.0;
// How widely noise may spread a tone's levels (on 2, off 0) before its readings count as
// less certain: about 20 dB between the tone and what its response leaves unexplained.
constexpr double kSureSpread = 0.15;
// Rounds in which one tone is read on its own from a first reading.
constexpr int kSettleRounds = 3;
// Readings whose misfits lie within this factor explain a tone alike.
constexpr double kAlike = 1.05;
// Rounds of choosing readings, each with what the other tones say after the last.
constexpr int kChoiceRounds = 3;
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

// The search's state, passed from step to step: every tone's level in every window (on 2, off
// 0), and whether it is taken to sound there.
struct SearchState {
  std::vector<ToneLevels> levels;
  std::vector<ToneSounding> sounding;
};

class RingingCanceller {
 public:
  RingingCanceller(const SymbolGrid& grid, std::vector<AlignedTones> aligned,
                   std::size_t evenOffset)
      : phasors_(grid.phasors),
        evenOffset_(evenOffset),
        count_(grid.phasors.size()),
        aligned_(std::move(aligned)) {
    // A response needs some windows per term it learns.
    echoes_ = static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(
        static_cast<std::ptrdiff_t>(count_) / 8 - 1, 1, static_cast<std::ptrdiff_t>(kMaxEchoes)));
    for (std::size_t tone = 0; tone < kToneCount; ++tone)
      energy_[tone] = toneEnergy(aligned_, tone);
    passWindows_ = findPassLength(aligned_);
  }

  std::vector<ToneLevels> run() {
    SearchState state{std::vector<ToneLevels>(count_), std::vector<ToneSounding>(count_)};
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) predict(toneOf(bit), state.levels);
    acquire(state);
    std::size_t checked = checkingFrames(state.levels);
    for (int round = 0; round < kRounds; ++round) {
      // A round that makes fewer frames check went astray: the reading before it stays.
      const std::vector<ToneLevels> before = state.levels;
      state.sounding = soundingOf(bytesOf(state.levels));
      for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) cancel(toneOf(bit), state);
      const std::size_t now = checkingFrames(state.levels);
      if (now < checked) {
        state.levels = before;
        break;
      }
      checked = now;
    }
    std::vector<ToneLevels> levels = std::move(state.levels);
    placeFrameNumbers(levels);
    weighByFit(levels);
    for (std::size_t w = 0; w < count_; ++w) {
      levels[w][kEvenCarrier] = isEven(w) ? 1.0f : 0.0f;
      levels[w][kOddCarrier] = isEven(w) ? 0.0f : 1.0f;
    }
    return levels;
  }

 private:
  const std::vector<TonePhasors>& phasors_;
  std::size_t evenOffset_ = 0;
  std::size_t count_;
  std::size_t echoes_ = 1;
  std::size_t passWindows_ = 0;              // windows per pass of the loop, 0 when not known
  std::vector<AlignedTones> aligned_;        // per window and tone, drift undone
  std::array<double, kToneCount> energy_{};  // per tone, over every window

  bool isEven(std::size_t w) const { return (w + evenOffset_) % 2 == 0; }

  // Where every tone sounds when the windows hold `bytes`.
  static std::vector<ToneSounding> soundingOf(const std::vector<std::uint8_t>& bytes) {
    std::vector<ToneSounding> sounding(bytes.size());
    for (std::size_t w = 0; w < bytes.size(); ++w) {
      for (std::size_t bit = 0; bit < kBitToneK.size(); ++bit) {
        sounding[w][toneOf(bit)] = ((bytes[w] >> bit) & 1) != 0;
      }
      sounding[w][toneOf(kBitToneK.size())] = std::popcount(bytes[w]) % 2 != 0;
    }
    return sounding;
  }

  // Term 0: the current symbol, term d: the one d windows back.
  static bool term(const std::vector<ToneSounding>& sounding, std::size_t tone, std::size_t w,
                   std::size_t echo) {
    return echo <= w && sounding[w - echo][tone];
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
    SquareSystem normal{};
    Terms projected{};
    const auto regressors = [&](std::size_t w) {
      Terms x{};
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

  Response learn(std::size_t tone, const std::vector<ToneSounding>& sounding) const {
    return learnResponse(aligned_, sounding, tone, echoes_, energy_[tone]);
  }

  // Where the tone lies in every symbol between off (0) and on (2), once the ringing of the
  // symbols around it is taken away. A symbol sounds in its own window and rings on in the
  // windows after it, and at a spot where the direct sound and the early reflections cancel,
  // its ringing may be louder than its own window: so each symbol is read from all the
  // windows it reaches, each weighed by the response there. Symbol by symbol, a decision that
  // changes is taken out of what the following readings see.
  void cancel(std::size_t tone, SearchState& state) {
    const Response response = learn(tone, state.sounding);
    const std::size_t terms = echoes_ + 1;
    std::vector<Complex> unexplained(count_);
    for (std::size_t w = 0; w < count_; ++w) {
      unexplained[w] = aligned(tone, w);
      for (std::size_t echo = 0; echo < terms; ++echo) {
        if (term(state.sounding, tone, w, echo)) unexplained[w] -= response.terms[echo];
      }
    }
    // Symbol a sounds through term `echo` in window a + echo; it sounds again a pass later.
    const auto reaches = [&](std::size_t a, std::size_t echo) { return a + echo < count_; };
    const std::size_t step = passWindows_ > 0 ? passWindows_ : count_;
    for (std::size_t first = 0; first < std::min(step, count_); ++first) {
      double heard = 0.0;
      double strength = 0.0;
      for (std::size_t a = first; a < count_; a += step) {
        const double was = state.sounding[a][tone] ? 1.0 : 0.0;
        for (std::size_t echo = 0; echo < terms; ++echo) {
          if (!reaches(a, echo)) continue;
          // What window a + echo leaves unexplained, with the symbol's own share put back.
          const Complex own = unexplained[a + echo] + was * response.terms[echo];
          heard += (std::conj(response.terms[echo]) * own).real();
          strength += std::norm(response.terms[echo]);
        }
      }
      const double on = strength > 0.0 ? heard / strength : 0.0;
      const bool sounds = on > 0.5;
      for (std::size_t a = first; a < count_; a += step) {
        state.levels[a][tone] = static_cast<float>(std::clamp(2.0 * on, -1.0, 3.0));
        if (sounds == state.sounding[a][tone]) continue;
        state.sounding[a][tone] = sounds;
        const double change = sounds ? 1.0 : -1.0;
        for (std::size_t echo = 0; echo < terms; ++echo) {
          if (reaches(a, echo)) unexplained[a + echo] -= change * response.terms[echo];
        }
      }
    }
  }

  // Reads the tone again and again from `start` on its own, each time learning the response
  // from the last reading; leaves the reading in `state` and returns how much of the recording
  // the response it ends with leaves unexplained.
  double settle(std::size_t tone, const std::vector<bool>& start, SearchState& state) {
    for (std::size_t w = 0; w < count_; ++w) state.sounding[w][tone] = start[w];
    for (int round = 0; round < kSettleRounds; ++round) cancel(tone, state);
    return learn(tone, state.sounding).misfit;
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
  void addReading(std::size_t tone, const std::vector<bool>& start, SearchState& state,
                  std::vector<Reading>& readings) {
    Reading reading;
    reading.misfit = settle(tone, start, state);
    reading.levels.resize(count_);
    for (std::size_t w = 0; w < count_; ++w) reading.levels[w] = state.levels[w][tone];
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

  std::vector<Reading> firstReadings(std::size_t tone, double carrier, SearchState& state) {
    std::vector<std::vector<bool>> starts(4, std::vector<bool>(count_));
    for (std::size_t w = 0; w < count_; ++w) {
      const double level = std::abs(phasors_[w][tone]);
      starts[0][w] = state.levels[w][tone] > 1.0f;
      starts[1][w] = !starts[0][w];
      starts[2][w] = level > carrier;
      starts[3][w] = level > 1.5 * carrier;
    }
    std::vector<Reading> readings;
    for (const auto& start : starts) addReading(tone, start, state, readings);
    if (passWindows_ == kFrameBytes) addBestRepeating(tone, state, readings);
    sortByMisfit(readings);
    return readings;
  }

  // A message of one frame repeats every ten windows, so a tone has only 1024 ways of sounding
  // throughout: few enough to try every one, and start from those that explain it best.
  void addBestRepeating(std::size_t tone, SearchState& state, std::vector<Reading>& readings) {
    constexpr std::size_t kWays = std::size_t{1} << kFrameBytes;
    std::vector<std::pair<double, std::size_t>> misfits;
    for (std::size_t way = 0; way < kWays; ++way) {
      for (std::size_t w = 0; w < count_; ++w)
        state.sounding[w][tone] = ((way >> (w % kFrameBytes)) & 1) != 0;
      misfits.emplace_back(learn(tone, state.sounding).misfit, way);
    }
    const auto tried = static_cast<std::ptrdiff_t>(kRepeatingStarts);
    std::partial_sort(misfits.begin(), misfits.begin() + tried, misfits.end());
    for (auto it = misfits.begin(); it != misfits.begin() + tried; ++it) {
      std::vector<bool> start(count_);
      for (std::size_t w = 0; w < count_; ++w)
        start[w] = ((it->second >> (w % kFrameBytes)) & 1) != 0;
      addReading(tone, start, state, readings);
    }
  }

  static void sortByMisfit(std::vector<Reading>& readings) {
    std::sort(readings.begin(), readings.end(),
              [](const Reading& x, const Reading& y) { return x.misfit < y.misfit; });
  }

  void use(std::size_t tone, const Reading& reading, SearchState& state) {
    for (std::size_t w = 0; w < count_; ++w) {
      state.levels[w][tone] = reading.levels[w];
      state.sounding[w][tone] = reading.levels[w] > 1.0f;
    }
  }

  using ToneReadings = std::array<std::vector<Reading>, SymbolRead::kTones>;
  using Choice = std::array<std::size_t, SymbolRead::kTones>;

  // What the other tones' readings say the tone of `bit` (a bit, or 8: parity) must be, since
  // every symbol sounds an even number of tones.
  std::vector<bool> saidByOthers(const std::vector<ToneSounding>& sounding, std::size_t bit) const {
    std::vector<bool> reading(count_);
    for (std::size_t w = 0; w < count_; ++w) {
      bool odd = false;
      for (std::size_t other = 0; other < SymbolRead::kTones; ++other) {
        if (other != bit) odd = odd != sounding[w][toneOf(other)];
      }
      reading[w] = odd;
    }
    return reading;
  }

  // Adds what the others say of the tone of `bit`, and goes on with its best explaining reading.
  void addFromOthers(std::size_t bit, SearchState& state, ToneReadings& readings) {
    addReading(toneOf(bit), saidByOthers(state.sounding, bit), state, readings[bit]);
    sortByMisfit(readings[bit]);
    use(toneOf(bit), readings[bit][0], state);
  }

  // Starts from each tone's best explaining reading and swaps in other readings, of one tone
  // or two at a time, while that makes clearly more frames pass their checks. Once a choice
  // is made, what the other tones then say of each tone is a reading to choose from as well.
  void acquire(SearchState& state) {
    constexpr std::size_t tones = SymbolRead::kTones;
    ToneReadings readings;
    const double carrier = carrierLevel();
    for (std::size_t bit = 0; bit < tones; ++bit)
      readings[bit] = firstReadings(toneOf(bit), carrier, state);
    for (std::size_t bit = 0; bit < tones; ++bit) use(toneOf(bit), readings[bit][0], state);
    for (std::size_t bit = 0; bit < tones; ++bit) addFromOthers(bit, state, readings);
    // A tone read two ways that explain it alike may be either: what the others say then
    // follows each way.
    for (std::size_t u = 0; u < tones; ++u) {
      if (readings[u].size() < 2 || readings[u][1].misfit > kAlike * readings[u][0].misfit)
        continue;
      use(toneOf(u), readings[u][1], state);
      for (std::size_t bit = 0; bit < tones; ++bit) {
        if (bit != u) addFromOthers(bit, state, readings);
      }
      use(toneOf(u), readings[u][0], state);
    }
    // Every round ends with each tone's chosen reading in use, whenever the rounds stop.
    Choice chosen{};
    for (int round = 0; round < kChoiceRounds; ++round) {
      chosen = choose(readings, chosen, state);
      bool added = false;
      for (std::size_t bit = 0; bit < tones; ++bit) {
        const std::size_t before = readings[bit].size();
        addReading(toneOf(bit), saidByOthers(state.sounding, bit), state, readings[bit]);
        added = added || readings[bit].size() > before;
        use(toneOf(bit), readings[bit][chosen[bit]], state);
      }
      if (!added) break;
    }
  }

  // The swaps of one tone's or two tones' readings, from `chosen`, while one makes clearly
  // more frames check: the one making most, and of those alike, the one whose readings explain
  // the recording best.
  Choice choose(const ToneReadings& readings, Choice chosen, SearchState& state) {
    constexpr std::size_t tones = SymbolRead::kTones;
    for (std::size_t bit = 0; bit < tones; ++bit)
      use(toneOf(bit), readings[bit][chosen[bit]], state);
    std::size_t checked = checkingFrames(state.levels);
    for (bool better = true; better;) {
      better = false;
      Choice best = chosen;
      std::size_t mostChecked = 0;
      double leastMisfit = 0.0;
      const auto tryChoice = [&](const Choice& choice) {
        for (std::size_t bit = 0; bit < tones; ++bit)
          use(toneOf(bit), readings[bit][choice[bit]], state);
        const std::size_t count = checkingFrames(state.levels);
        if (count < checked + 2 || count < mostChecked) return;
        double misfit = 0.0;
        for (std::size_t bit = 0; bit < tones; ++bit) misfit += readings[bit][choice[bit]].misfit;
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
  void weighByFit(std::vector<ToneLevels>& levels) const {
    const std::vector<ToneSounding> sounding = soundingOf(bytesOf(levels));
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      const std::size_t tone = toneOf(bit);
      const Response response = learn(tone, sounding);
      const double direct = std::abs(response.terms[0]);
      const double spread =
          std::sqrt(2.0 * std::max(response.misfit, 0.0) / static_cast<double>(count_)) / direct;
      const double weight = direct > 0.0 ? std::min(1.0, kSureSpread / spread) : 0.0;
      for (auto& window : levels) {
        window[tone] = static_cast<float>(1.0 + (window[tone] - 1.0) * weight);
      }
    }
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
  std::vector<AlignedTones> aligned = alignDrift(grid.phasors, measureDrift(grid.phasors));
  const CarrierFit carriers = fitCarriers(aligned);
  if (carriers.score < kCarrierScore) return {};
  return RingingCanceller(grid, std::move(aligned), carriers.evenOffset).run();
}

}  // namespace sonicsend::receiver
