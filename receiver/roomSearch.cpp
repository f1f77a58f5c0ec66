#include "roomSearch.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "reading.h"
#include "roomModel.h"
#include "tones.h"

namespace sonicsend::receiver {
namespace {

// Rounds in which one tone is read on its own from a first reading.
constexpr int kSettleRounds = 3;
// Readings whose misfits lie within this factor explain a tone alike.
constexpr double kAlike = 1.05;
// Rounds of choosing candidates, each with what the other tones say after the last.
constexpr int kChoiceRounds = 3;
// Ways of sounding of a one-frame message's tone, the best explaining, that candidates start from.
constexpr std::size_t kRepeatingStarts = 3;
// Rounds of reading and learning: each reading removes the ringing of the one before.
constexpr int kRounds = 4;

// The search's state, passed from step to step: every tone's level in every window (on 2, off
// 0), and whether it is taken to sound there.
struct SearchState {
  std::vector<ToneLevels> levels;
  std::vector<ToneSounding> sounding;
};

// Puts a tone read through its response in the state: its levels, and where it was taken to
// sound when it was read.
void use(std::size_t tone, const ToneReading& reading, SearchState& state) {
  for (std::size_t w = 0; w < reading.levels.size(); ++w) {
    state.levels[w][tone] = reading.levels[w];
    state.sounding[w][tone] = reading.sounds[w];
  }
}

// One way a tone settled to, throughout the recording, and how much of the recording the
// response learnt from it leaves unexplained: a candidate among which the search chooses.
struct Candidate {
  std::vector<float> levels;
  double misfit = 0.0;
};

// Puts a candidate in the state: its levels, and the tone sounding where it is on.
void use(std::size_t tone, const Candidate& candidate, SearchState& state) {
  for (std::size_t w = 0; w < candidate.levels.size(); ++w) {
    state.levels[w][tone] = candidate.levels[w];
    state.sounding[w][tone] = candidate.levels[w] > 1.0f;
  }
}

// Reads the tone again and again from `start` on its own, each time learning the response
// from the last reading; leaves the reading in `state` and returns it.
Candidate settle(const RoomRecording& room, std::size_t tone, const std::vector<bool>& start,
                 SearchState& state) {
  for (std::size_t w = 0; w < room.windows(); ++w) state.sounding[w][tone] = start[w];
  for (int round = 0; round < kSettleRounds; ++round)
    use(tone, cancelTone(room, state.sounding, tone), state);
  Candidate settled{std::vector<float>(room.windows()),
                    learnTone(room, state.sounding, tone).misfit};
  for (std::size_t w = 0; w < room.windows(); ++w) settled.levels[w] = state.levels[w][tone];
  return settled;
}

// A reading settles where its response explains the recording; a wrong one usually settles
// where it explains it worse, but not always: when a tone's ringing nearly cancels its
// steady sound, a reading and its opposite explain it alike. So each tone keeps the few
// different candidates it settles to from different first readings: the prediction, the
// same turned round, the plain levels against the carriers' level, and what the other
// tones say it must be, since every symbol sounds an even number of tones.
void addCandidate(const RoomRecording& room, std::size_t tone, const std::vector<bool>& start,
                  SearchState& state, std::vector<Candidate>& candidates) {
  Candidate settled = settle(room, tone, start, state);
  const auto same = [&](const Candidate& other) {
    for (std::size_t w = 0; w < room.windows(); ++w) {
      if ((other.levels[w] > 1.0f) != (settled.levels[w] > 1.0f)) return false;
    }
    return true;
  };
  if (std::none_of(candidates.begin(), candidates.end(), same))
    candidates.push_back(std::move(settled));
}

void sortByMisfit(std::vector<Candidate>& candidates) {
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& x, const Candidate& y) { return x.misfit < y.misfit; });
}

// The carriers' mean level: a tone that is on sounds at twice the carrier's amplitude.
double carrierLevel(const RoomRecording& room) {
  double carrier = 0.0;
  for (std::size_t w = 0; w < room.windows(); ++w) {
    carrier += std::abs(room.phasors[w][room.isEven(w) ? kEvenCarrier : kOddCarrier]);
  }
  return carrier / static_cast<double>(room.windows());
}

// A message of one frame repeats every ten windows: candidates start from the ways of
// sounding, repeating every frame, that explain the tone best (see bestRepeatingWays).
void addBestRepeating(const RoomRecording& room, std::size_t tone, SearchState& state,
                      std::vector<Candidate>& candidates) {
  const auto windows = static_cast<int>(room.windows());
  const auto at = [&](int w) { return room.aligned[static_cast<std::size_t>(w)][tone]; };
  for (const int way : bestRepeatingWays<kRepeatingStarts>(windows, at)) {
    std::vector<bool> start(room.windows());
    for (std::size_t w = 0; w < room.windows(); ++w)
      start[w] = ((way >> (w % kFrameBytes)) & 1) != 0;
    addCandidate(room, tone, start, state, candidates);
  }
}

// The candidates a tone settles to from its first readings, the best explaining first.
std::vector<Candidate> firstCandidates(const RoomRecording& room, std::size_t tone, double carrier,
                                       SearchState& state) {
  std::vector<std::vector<bool>> starts(4, std::vector<bool>(room.windows()));
  for (std::size_t w = 0; w < room.windows(); ++w) {
    const double level = std::abs(room.phasors[w][tone]);
    starts[0][w] = state.levels[w][tone] > 1.0f;
    starts[1][w] = !starts[0][w];
    starts[2][w] = level > carrier;
    starts[3][w] = level > 1.5 * carrier;
  }
  std::vector<Candidate> candidates;
  for (const auto& start : starts) addCandidate(room, tone, start, state, candidates);
  if (room.passWindows == kFrameBytes) addBestRepeating(room, tone, state, candidates);
  sortByMisfit(candidates);
  return candidates;
}

using CandidatesPerTone = std::array<std::vector<Candidate>, SymbolRead::kTones>;
using Choice = std::array<std::size_t, SymbolRead::kTones>;

// What the other tones' candidates say the tone of `bit` (a bit, or 8: parity) must be, since
// every symbol sounds an even number of tones.
std::vector<bool> saidByOthers(const std::vector<ToneSounding>& sounding, std::size_t bit) {
  std::vector<bool> reading(sounding.size());
  for (std::size_t w = 0; w < sounding.size(); ++w) {
    bool odd = false;
    for (std::size_t other = 0; other < SymbolRead::kTones; ++other) {
      if (other != bit) odd = odd != sounding[w][toneOf(other)];
    }
    reading[w] = odd;
  }
  return reading;
}

// Adds what the others say of the tone of `bit`, and goes on with its best explaining reading.
void addFromOthers(const RoomRecording& room, std::size_t bit, SearchState& state,
                   CandidatesPerTone& candidates) {
  addCandidate(room, toneOf(bit), saidByOthers(state.sounding, bit), state, candidates[bit]);
  sortByMisfit(candidates[bit]);
  use(toneOf(bit), candidates[bit][0], state);
}

void useChoice(const CandidatesPerTone& candidates, const Choice& choice, SearchState& state) {
  for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit)
    use(toneOf(bit), candidates[bit][choice[bit]], state);
}

// The swaps of one tone's or two tones' candidates, from `chosen`, while one makes clearly
// more frames check: the one making most, and of those alike, the one whose candidates explain
// the recording best.
Choice choose(const CandidatesPerTone& candidates, Choice chosen, SearchState& state) {
  constexpr std::size_t tones = SymbolRead::kTones;
  useChoice(candidates, chosen, state);
  std::size_t checked = checkingFrames(state.levels);
  for (bool better = true; better;) {
    better = false;
    Choice best = chosen;
    std::size_t mostChecked = 0;
    double leastMisfit = 0.0;
    const auto tryChoice = [&](const Choice& choice) {
      useChoice(candidates, choice, state);
      const std::size_t count = checkingFrames(state.levels);
      if (count < checked + 2 || count < mostChecked) return;
      double misfit = 0.0;
      for (std::size_t bit = 0; bit < tones; ++bit) misfit += candidates[bit][choice[bit]].misfit;
      if (count > mostChecked || misfit < leastMisfit) {
        mostChecked = count;
        leastMisfit = misfit;
        best = choice;
      }
    };
    for (std::size_t a = 0; a < tones; ++a) {
      for (std::size_t ra = 0; ra < candidates[a].size(); ++ra) {
        if (ra == chosen[a]) continue;
        auto choice = chosen;
        choice[a] = ra;
        tryChoice(choice);
        for (std::size_t b = a + 1; b < tones; ++b) {
          for (std::size_t rb = 0; rb < candidates[b].size(); ++rb) {
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

// Starts from each tone's best explaining reading and swaps in other candidates, of one tone
// or two at a time, while that makes clearly more frames pass their checks. Once a choice
// is made, what the other tones then say of each tone is a reading to choose from as well.
void acquire(const RoomRecording& room, SearchState& state) {
  constexpr std::size_t tones = SymbolRead::kTones;
  CandidatesPerTone candidates;
  const double carrier = carrierLevel(room);
  for (std::size_t bit = 0; bit < tones; ++bit)
    candidates[bit] = firstCandidates(room, toneOf(bit), carrier, state);
  for (std::size_t bit = 0; bit < tones; ++bit) use(toneOf(bit), candidates[bit][0], state);
  for (std::size_t bit = 0; bit < tones; ++bit) addFromOthers(room, bit, state, candidates);
  // A tone read two ways that explain it alike may be either: what the others say then
  // follows each way.
  for (std::size_t u = 0; u < tones; ++u) {
    if (candidates[u].size() < 2 || candidates[u][1].misfit > kAlike * candidates[u][0].misfit)
      continue;
    use(toneOf(u), candidates[u][1], state);
    for (std::size_t bit = 0; bit < tones; ++bit) {
      if (bit != u) addFromOthers(room, bit, state, candidates);
    }
    use(toneOf(u), candidates[u][0], state);
  }
  // Every round ends with each tone's chosen reading in use, whenever the rounds stop.
  Choice chosen{};
  for (int round = 0; round < kChoiceRounds; ++round) {
    chosen = choose(candidates, chosen, state);
    bool added = false;
    for (std::size_t bit = 0; bit < tones; ++bit) {
      const std::size_t before = candidates[bit].size();
      addCandidate(room, toneOf(bit), saidByOthers(state.sounding, bit), state, candidates[bit]);
      added = added || candidates[bit].size() > before;
      use(toneOf(bit), candidates[bit][chosen[bit]], state);
    }
    if (!added) break;
  }
}

// The first candidates, the choice between them, then rounds of reading every tone with the
// ringing of the last reading taken away.
std::vector<ToneLevels> search(const RoomRecording& room) {
  SearchState state{std::vector<ToneLevels>(room.windows()),
                    std::vector<ToneSounding>(room.windows())};
  for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
    const std::vector<float> predicted = readByPrediction(room, toneOf(bit));
    for (std::size_t w = 0; w < room.windows(); ++w) state.levels[w][toneOf(bit)] = predicted[w];
  }
  acquire(room, state);
  std::size_t checked = checkingFrames(state.levels);
  for (int round = 0; round < kRounds; ++round) {
    // A round that makes fewer frames check went astray: the reading before it stays.
    const std::vector<ToneLevels> before = state.levels;
    state.sounding = soundingOf(bytesOf(state.levels));
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit)
      use(toneOf(bit), cancelTone(room, state.sounding, toneOf(bit)), state);
    const std::size_t now = checkingFrames(state.levels);
    if (now < checked) return before;
    checked = now;
  }
  return std::move(state.levels);
}

}  // namespace

std::vector<ToneLevels> readInRoom(const SymbolGrid& grid) {
  if (grid.phasors.size() != grid.levels.size() || grid.phasors.size() < 2 * kFrameBytes) {
    return {};
  }
  std::vector<AlignedTones> aligned = alignDrift(grid.phasors, measureDrift(grid.phasors));
  const CarrierFit<double> carriers = fitCarriers(aligned);
  if (carriers.score < kCarrierScore) return {};
  const RoomRecording room = roomRecording(grid.phasors, std::move(aligned), carriers.evenOffset);
  return readWithModel(room, search(room));
}

}  // namespace sonicsend::receiver
