// The room model's estimators and stages on signals made with a known truth: a clock drift, a
// pass length, a room's response, a tone's reading, the frames' place. Each estimate is checked
// against what was put in.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <type_traits>

#include "channel.h"
#include "encoder.h"
#include "fixedPhasor.h"
#include "phasor.h"
#include "reading.h"
#include "roomModel.h"
#include "roomResponse.h"
#include "roomSearch.h"
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
// complex noise `snrDb` below the direct term.
struct ToneTruth {
  std::vector<AlignedTones> aligned;
  std::vector<ToneSounding> sounding;
  double noiseEnergy = 0.0;
};

ToneTruth soundThrough(const Terms& truth, std::size_t tone, std::size_t count, double snrDb,
                       std::mt19937& random) {
  ToneTruth made{std::vector<AlignedTones>(count), std::vector<ToneSounding>(count), 0.0};
  std::bernoulli_distribution sounds(0.5);
  const double sigma = std::abs(truth[0]) * std::pow(10.0, -snrDb / 20.0) / std::sqrt(2.0);
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

// A room's response with an RT60 of 0.4 s, each term at a random phase. A window lasts 2560
// samples: the ringing falls by 8.7 dB per window.
Terms roomOf04s(std::mt19937& random) {
  const double fallPerWindowDb = 60.0 * kSymbolSamples / kSampleRate / 0.4;
  std::uniform_real_distribution<double> phase(-std::numbers::pi, std::numbers::pi);
  Terms truth{};
  for (std::size_t d = 0; d < kResponseTerms; ++d) {
    truth[d] =
        std::polar(std::pow(10.0, -fallPerWindowDb * static_cast<double>(d) / 20.0), phase(random));
  }
  return truth;
}

TEST(Estimators, RoomResponseWithin15DbOfTheTruthForRt60Of04s) {
  std::mt19937 random(4);
  for (std::size_t tone : {std::size_t{2}, std::size_t{9}}) {
    SCOPED_TRACE(tone);
    const Terms truth = roomOf04s(random);
    const ToneTruth made = soundThrough(truth, tone, 600, 15.0, random);
    const Response response = learnResponse(made.aligned, made.sounding, tone, kResponseTerms - 1,
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

// A loop of one frame through a strong echo: the way of sounding a tone repeats in each
// frame is the one that explains it best, in single and double precision alike, and in
// integers as a chip without an FPU tries the ways.
template <typename P>
class OneFrameLoop : public ::testing::Test {};
using Precisions = ::testing::Types<Phasor, std::complex<double>, FixedPhasor>;

template <typename P>
P phasorOf(std::complex<double> z) {
  if constexpr (std::is_same_v<P, FixedPhasor>) {
    const Phasor tone{static_cast<float>(z.real()), static_cast<float>(z.imag())};
    return toFixed(tone, fixedScaleOf(3.0f), kFixedWindowMost);  // the loudest about 3
  } else {
    return P{static_cast<ScalarOf<P>>(z.real()), static_cast<ScalarOf<P>>(z.imag())};
  }
}
TYPED_TEST_SUITE(OneFrameLoop, Precisions);

TYPED_TEST(OneFrameLoop, TheWayItRepeatsExplainsTheToneBest) {
  using P = TypeParam;
  // As many terms as the fit learns: a way turned by one window, with the response a term
  // later, would explain a shorter response as well.
  const std::array<std::complex<double>, 4> response = {
      1.0, std::polar(0.9, 2.0), std::polar(0.5, -1.0), std::polar(0.3, 0.5)};
  std::mt19937 random(8);
  std::normal_distribution<double> noise(0.0, 0.03);
  for (const int way : {0b0000011010, 0b1011001001, 0b0111101100, 0b1000000101}) {
    SCOPED_TRACE(way);
    std::array<P, kFrameBytes> mean{};
    for (int i = 0; i < kFrameBytes; ++i) {
      std::complex<double> sum(noise(random), noise(random));
      int echo = 0;
      for (const std::complex<double>& term : response) {
        if (((way >> ((i - echo++ + kFrameBytes) % kFrameBytes)) & 1) != 0) sum += term;
      }
      mean[static_cast<std::size_t>(i)] = phasorOf<P>(sum);
    }
    const auto at = [&](int w) { return mean[static_cast<std::size_t>(w)]; };
    const auto best = bestRepeatingWays<3>(kFrameBytes, at);
    EXPECT_EQ(best[0], way);
    EXPECT_NE(best[1], way);
    EXPECT_NE(best[2], best[1]);
    // Tried a part at a time, as a device spreads the work, they come out the same.
    RepeatingWays<3, P> inParts;
    inParts.measure(kFrameBytes, at);
    for (int from = 0; from < inParts.kWays; from += 100)
      inParts.tryWays(from, std::min(from + 100, inParts.kWays));
    EXPECT_EQ(inParts.best(), best);
  }
}

// Read from where it truly sounds, in noise that misreads some symbols, a tone is read the
// other way as often when it sounds as when it does not: the threshold between on and off lies
// midway between the two.
TEST(Stages, CancelToneMisreadsOnAndOffAlikeInNoise) {
  std::mt19937 random(5);
  const std::size_t tone = 4;
  const ToneTruth made = soundThrough(roomOf04s(random), tone, 4000, 5.0, random);
  RoomRecording room{{}, made.aligned};
  room.energy[tone] = toneEnergy(made.aligned, tone);
  room.echoes = kResponseTerms - 1;
  const ToneReading reading = cancelTone(room, made.sounding, tone);
  std::array<int, 2> misread{};  // of symbols off, of symbols on
  int levelsDisagree = 0;        // with what is taken to sound
  for (std::size_t w = 0; w < made.sounding.size(); ++w) {
    const bool sounds = made.sounding[w][tone];
    if (reading.sounds[w] != sounds) ++misread[sounds ? 1 : 0];
    if (reading.sounds[w] != (reading.levels[w] > 1.0f)) ++levelsDisagree;
  }
  SCOPED_TRACE(testing::Message() << misread[0] << " off and " << misread[1] << " on misread");
  EXPECT_EQ(levelsDisagree, 0);
  EXPECT_GT(misread[0] + misread[1], 100);  // the noise does misread some
  EXPECT_LT(std::abs(misread[0] - misread[1]), (misread[0] + misread[1]) / 4);
}

// Every tone of `bytes` at its level: bit tones and parity on 2, off 0.
std::vector<ToneLevels> levelsOf(const std::vector<std::uint8_t>& bytes) {
  const std::vector<ToneSounding> sounding = soundingOf(bytes);
  std::vector<ToneLevels> levels(bytes.size());
  for (std::size_t w = 0; w < bytes.size(); ++w) {
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit)
      levels[w][toneOf(bit)] = sounding[w][toneOf(bit)] ? 2.0f : 0.0f;
  }
  return levels;
}

// The carriers cannot tell a room's even windows from its odd ones; the frames that check can,
// since a frame starts on an even symbol. With none checking, the carriers' guess stays.
TEST(Stages, PlaceFrameNumbersWhereFramesCheck) {
  std::mt19937 random(6);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t lead = 0; lead < 4; ++lead) {
    SCOPED_TRACE(lead);
    std::vector<std::uint8_t> bytes(lead);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(random));
    for (std::uint8_t number = 1; number <= 3; ++number) {
      std::uint8_t sum = number;
      bytes.push_back(number);
      for (std::size_t i = 0; i < kFramePayloadBytes; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(byte(random)));
        sum = static_cast<std::uint8_t>(sum + bytes.back());
      }
      bytes.push_back(sum | kFrameCheckFlag);
    }
    const std::vector<ToneLevels> levels = levelsOf(bytes);
    ASSERT_EQ(checkingFrames(levels), 3u);
    for (std::size_t guess = 0; guess < 2; ++guess)
      EXPECT_EQ(placeFrameNumbers(levels, guess), lead % 2);
  }
  const std::vector<ToneLevels> silence = levelsOf(std::vector<std::uint8_t>(40));
  for (std::size_t guess = 0; guess < 2; ++guess)
    EXPECT_EQ(placeFrameNumbers(silence, guess), guess);
}

// Three passes of a looped framed message as a symbol grid, window 0 starting frame 1: each
// tone through its own response `rooms[tone]` (a term per window, its own first), with a
// little noise; a bit or parity tone sounds at twice the carrier's amplitude.
struct RoomLoop {
  std::vector<std::uint8_t> bytes;
  SymbolGrid grid;
};

RoomLoop roomLoopOf(const MessageBuffer& message,
                    const std::array<std::vector<Complex>, kToneCount>& rooms,
                    std::mt19937& random) {
  RoomLoop made;
  const int pass = frameCount(message) * kFrameBytes;
  // The loop sounded before the recording began: the first windows hold its echoes too.
  const auto byteAt = [&](int w) {
    const int inPass = (w + pass) % pass;
    Frame frame{};
    buildFrame(message, inPass / kFrameBytes, frame);
    return frame[static_cast<std::size_t>(inPass % kFrameBytes)];
  };
  const auto sounds = [&](int w, std::size_t tone) {
    if (tone == kEvenCarrier || tone == kOddCarrier) return (tone == kEvenCarrier) == (w % 2 == 0);
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      if (toneOf(bit) == tone) return soundsIn(byteAt(w), bit);
    }
    return false;
  };
  std::normal_distribution<double> noise(0.0, 0.05);
  for (int w = 0; w < 3 * pass; ++w) {
    made.bytes.push_back(byteAt(w));
    TonePhasors phasors{};
    ToneLevels levels{};
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      const double size = tone == kEvenCarrier || tone == kOddCarrier ? 1.0 : 2.0;
      Complex sum(noise(random), noise(random));
      for (std::size_t e = 0; e < rooms[tone].size(); ++e) {
        if (sounds(w - static_cast<int>(e), tone)) sum += size * rooms[tone][e];
      }
      phasors[tone] = std::complex<float>(sum);
      levels[tone] = static_cast<float>(std::abs(sum));
    }
    made.grid.phasors.push_back(phasors);
    made.grid.levels.push_back(levels);
  }
  return made;
}

// Rooms drawn at random, each tone with echoes of its own, one of them (the row's) an echo a
// window later that cancels the tone's own sound, so that it measures only where the tone
// changes; the search reads every byte. In room 59 another tone reads alike either way round,
// and the way that holds is the one whose following tones, read as the others say they must
// be (every symbol sounds an even number of tones), make frames check; in room 63 the parity
// tone is read right only as the others say.
TEST(RoomSearch, ReadsAToneTheOthersTell) {
  for (const unsigned room : {59u, 63u}) {
    std::mt19937 random(room);
    const std::size_t cancelled = toneOf(room % SymbolRead::kTones);
    SCOPED_TRACE(testing::Message() << "room " << room << ", tone " << cancelled);
    const MessageBuffer message =
        *buildMessage(Layout::framed, u"Net" + std::u16string(room % 7, u'x'), u"some key here");
    std::array<std::vector<Complex>, kToneCount> rooms;
    std::uniform_real_distribution<double> phase(-std::numbers::pi, std::numbers::pi);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    for (std::vector<Complex>& terms : rooms) {
      terms = {1.0};  // and three echoes, each at most 0.7 of the one before
      for (int e = 1; e < 4; ++e) {
        const double size = share(random) * std::pow(0.7, e - 1);
        terms.push_back(std::polar(size, phase(random)));
      }
    }
    rooms[cancelled] = {1.0, -1.0};
    const RoomLoop loop = roomLoopOf(message, rooms, random);
    const std::vector<ToneLevels> levels = readInRoom(loop.grid);
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(bytesOf(levels), loop.bytes);
  }
}

}  // namespace
}  // namespace sonicsend::receiver
