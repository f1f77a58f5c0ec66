// The room model's estimators on signals made with a known truth: a clock drift, a pass
// length, a room's response. Each estimate is checked against what was put in.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "channel.h"
#include "roomResponse.h"
#include "symbols.h"

namespace sonicsend::receiver {
namespace {

using namespace simulator;

// What the drift per window and per k says of the recorder's clock, in ppm: a tone k turns by
// 2 pi k over each 256 samples, so a clock `ppm` fast turns it back by that share per window.
double ppmOf(double driftPerK) {
  const double windowTurnsPerK = 2.0 * std::numbers::pi * kSymbolSamples / 256.0;
  return -driftPerK / windowTurnsPerK * 1e6;
}

TEST(Estimators, ClockDriftWithin20PpmAt15Db) {
  for (double ppm : {-1000.0, -400.0, 0.0, 400.0, 1000.0}) {
    SCOPED_TRACE(ppm);
    std::mt19937 random(3);
    const Sent sent = messageOf(random, 40);
    auto recording = warpClock(loop(sent.pass, 1234, 3 * sent.pass.size()), ppm);
    addNoise(recording, 15.0, random);
    EXPECT_NEAR(ppmOf(measureDrift(measureSymbols(recording).phasors)), ppm, 20.0);
  }
}

TEST(Estimators, PassLengthExactlyInARoom) {
  for (int units : {1, 20, 45, 90}) {
    SCOPED_TRACE(units);
    std::mt19937 random(static_cast<std::mt19937::result_type>(units));
    const Sent sent = messageOf(random, units);
    auto recording = inRoom(loop(sent.pass, 777, 3 * sent.pass.size()), {0.4, 0.0}, random);
    addNoise(recording, 15.0, random);
    const SymbolGrid grid = measureSymbols(recording);
    const auto aligned = alignDrift(grid.phasors, measureDrift(grid.phasors));
    EXPECT_EQ(findPassLength(aligned), sent.pass.size() / kSymbolSamples);
  }
}

// One tone's phasors in `count` windows: where it sounds at random, through `truth`, with
// complex noise 15 dB below the direct term.
struct ToneTruth {
  std::vector<AlignedTones> aligned;
  std::vector<ToneSounding> sounding;
  double noiseEnergy = 0.0;
};

ToneTruth soundThrough(const Terms& truth, std::size_t tone, std::size_t count,
                       std::mt19937& random) {
  ToneTruth made{std::vector<AlignedTones>(count), std::vector<ToneSounding>(count), 0.0};
  std::bernoulli_distribution sounds(0.5);
  const double sigma = std::abs(truth[0]) * std::pow(10.0, -15.0 / 20.0) / std::sqrt(2.0);
  std::normal_distribution<double> noise(0.0, sigma);
  for (std::size_t w = 0; w < count; ++w) {
    made.sounding[w][tone] = sounds(random);
    const Complex n{noise(random), noise(random)};
    made.noiseEnergy += std::norm(n);
    made.aligned[w][tone] = n;
    for (std::size_t d = 0; d <= w && d < kResponseTerms; ++d) {
      if (made.sounding[w - d][tone]) made.aligned[w][tone] += truth[d];
    }
  }
  return made;
}

TEST(Estimators, RoomResponseWithin15DbOfTheTruthForRt60Of04s) {
  // A window lasts 2560 samples: at an RT60 of 0.4 s the ringing falls by 8.7 dB per window.
  const double fallPerWindowDb = 60.0 * kSymbolSamples / kSampleRate / 0.4;
  std::mt19937 random(4);
  std::uniform_real_distribution<double> phase(-std::numbers::pi, std::numbers::pi);
  for (std::size_t tone : {std::size_t{2}, std::size_t{9}}) {
    SCOPED_TRACE(tone);
    Terms truth{};
    for (std::size_t d = 0; d < kResponseTerms; ++d) {
      truth[d] = std::polar(std::pow(10.0, -fallPerWindowDb * static_cast<double>(d) / 20.0),
                            phase(random));
    }
    const ToneTruth made = soundThrough(truth, tone, 600, random);
    const Response response = learnResponse(made.aligned, made.sounding, tone, kMaxEchoes,
                                            toneEnergy(made.aligned, tone));
    double error = 0.0;
    double energy = 0.0;
    for (std::size_t d = 0; d < kResponseTerms; ++d) {
      error += std::norm(response.terms[d] - truth[d]);
      energy += std::norm(truth[d]);
    }
    EXPECT_LT(10.0 * std::log10(error / energy), -15.0);
    // What the response leaves unexplained is the noise.
    EXPECT_NEAR(response.misfit, made.noiseEnergy, 0.1 * made.noiseEnergy);
  }
}

}  // namespace
}  // namespace sonicsend::receiver
