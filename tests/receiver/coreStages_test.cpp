// The listening core's stages one by one, each fed symbol windows whose truth is known: a
// looped message's bytes as tone phasors, through a room response of our choosing.
#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <vector>

#include "FrameChoice.h"
#include "FrameSearch.h"
#include "RoomModel.h"
#include "SymbolHistory.h"
#include "encoder.h"
#include "framing.h"

namespace sonicsend::testing {
namespace {

using namespace receiver;

struct Loop {
  MessageBuffer message;
  int windowsPerPass = 0;

  explicit Loop(const MessageBuffer& buffer)
      : message(buffer), windowsPerPass(frameCount(buffer) * kFrameBytes) {}

  // The byte of window `w` of the endless loop (before 0 too); window 0 starts frame 1, an
  // even symbol.
  std::uint8_t byteAt(int w) const {
    const int inPass = (w % windowsPerPass + windowsPerPass) % windowsPerPass;
    Frame frame{};
    buildFrame(message, inPass / kFrameBytes, frame);
    return frame[static_cast<std::size_t>(inPass % kFrameBytes)];
  }
  // Whether tone `tone` (0 ... 10, k = 8 ... 18) sounds in window `w`, and how loud: a bit
  // or parity tone at twice the carrier's amplitude.
  float soundOf(int w, std::size_t tone) const {
    const bool even = w % 2 == 0;
    if (tone == kEvenCarrier) return even ? 1.0f : 0.0f;
    if (tone == kOddCarrier) return even ? 0.0f : 1.0f;
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      if (toneOf(bit) == tone) return soundsIn(byteAt(w), bit) ? 2.0f : 0.0f;
    }
    return 0.0f;
  }
};

Loop framedLoop(std::u16string_view ssid, std::u16string_view key) {
  return Loop(*buildMessage(Layout::framed, ssid, key));
}

// Windows `first` ... `first + count - 1` of `loop`, each tone heard through `response` (its
// own symbol, then the echoes of the ones before), with noise of spread `spread`.
std::vector<TonePhasor> windowsOf(const Loop& loop, int first, int count,
                                  const std::vector<std::complex<float>>& response,
                                  std::mt19937& random, float spread = 0.02f) {
  std::normal_distribution<float> noise(0.0f, spread);
  std::vector<TonePhasor> windows;
  for (int w = first; w < first + count; ++w) {
    TonePhasor window{};
    for (std::size_t tone = 0; tone < window.size(); ++tone) {
      std::complex<float> sum{noise(random), noise(random)};
      for (std::size_t echo = 0; echo < response.size(); ++echo) {
        sum += response[echo] * loop.soundOf(w - static_cast<int>(echo), tone);
      }
      window[tone] = {sum.real(), sum.imag()};
    }
    windows.push_back(window);
  }
  return windows;
}

SymbolHistory historyOf(const std::vector<TonePhasor>& windows) {
  SymbolHistory history;
  for (const TonePhasor& window : windows) history.add(window, 0.0f);
  return history;
}

// Steps `model` over `history` until its reading is done; false if it never is.
bool readThrough(RoomModel& model, const SymbolHistory& history) {
  for (int step = 0; step < 10000 && !model.ready(); ++step) {
    model.earnCredit();
    model.step(history);
  }
  return model.ready();
}

// Steps `search` a window's work at a time until it hears a message; false if it never does.
bool searchUntilHeard(FrameSearch& search, SymbolHistory& history, RoomModel& room) {
  for (int step = 0; step < 1000; ++step) {
    search.earnCredit();
    if (search.step(history, room)) return true;
  }
  return false;
}

// The search places the frames of a loop heard from the middle of a frame, in plain levels:
// the message, its frame count and where the pass starts.
TEST(CoreStages, FrameSearchFindsTheMessageInAKnownLoop) {
  const Loop loop = framedLoop(u"HomeNet", u"correct horse battery");
  ASSERT_EQ(loop.windowsPerPass, 40);
  std::mt19937 random(3);
  const std::vector<TonePhasor> windows =
      windowsOf(loop, 37, 2 * loop.windowsPerPass, {1.0f}, random);
  SymbolHistory history = historyOf(windows);
  FrameSearch search;
  RoomModel room;  // never stepped: the search reads the plain levels
  ASSERT_TRUE(searchUntilHeard(search, history, room));
  const CoreMessage& heard = search.message();
  EXPECT_EQ(heard.frames, 4);
  const auto length = static_cast<std::size_t>(messageLength(loop.message));
  EXPECT_TRUE(std::equal(loop.message.begin(), loop.message.begin() + static_cast<long>(length),
                         heard.bytes.begin()));
  EXPECT_EQ(heard.bounds.layout, MessageLayout::framed);
}

// One window's work pays for starting a search over the plain levels (a start costs as much as
// reading four frames) and reading two frames, not for reading a pass of four frames too: the
// message is heard only once more windows have paid for it.
TEST(CoreStages, FrameSearchDoesNoMoreWorkThanItsWindowsPayFor) {
  const Loop loop = framedLoop(u"HomeNet", u"correct horse battery");
  std::mt19937 random(3);
  SymbolHistory history = historyOf(windowsOf(loop, 37, 2 * loop.windowsPerPass, {1.0f}, random));
  FrameSearch search;
  RoomModel room;
  search.earnCredit();
  for (int step = 0; step < 100; ++step) ASSERT_FALSE(search.step(history, room));
  EXPECT_TRUE(searchUntilHeard(search, history, room));
}

// In noise the room model moves each tone's levels towards the threshold (1) as far as its
// response fails to explain the tone; the search reads the model's reading against that
// threshold, and hears the message in a room that confuses the plain reading.
TEST(CoreStages, FrameSearchHearsTheRoomModelsReadingInNoise) {
  const Loop loop = framedLoop(u"Attic", u"ring ring ring");
  const std::vector<std::complex<float>> response = {
      1.0f, std::polar(0.9f, 2.0f), std::polar(0.5f, -1.0f), std::polar(0.25f, 0.5f)};
  std::mt19937 random(5);
  SymbolHistory history =
      historyOf(windowsOf(loop, 0, 3 * loop.windowsPerPass, response, random, 0.12f));
  RoomModel room;
  ASSERT_TRUE(readThrough(room, history));
  FrameSearch search;
  ASSERT_TRUE(searchUntilHeard(search, history, room));
  EXPECT_EQ(search.message().frames, 3);
}

// A room whose echo of the symbol before is nearly as loud as the symbol itself, turned in
// phase: the plain reading misreads many windows; the room model learns the response from the
// windows themselves, takes the echoes out and reads them all.
TEST(CoreStages, RoomModelLearnsAKnownResponseAndCancelsIt) {
  const Loop loop = framedLoop(u"Attic", u"ring ring ring");
  const std::vector<std::complex<float>> response = {
      1.0f, std::polar(0.9f, 2.0f), std::polar(0.5f, -1.0f), std::polar(0.25f, 0.5f)};
  std::mt19937 random(5);
  const int count = 3 * loop.windowsPerPass;
  const SymbolHistory history = historyOf(windowsOf(loop, 0, count, response, random));

  int plainRight = 0;
  for (int w = 0; w < count; ++w)
    plainRight += history.at(static_cast<std::uint32_t>(w)).byte[0] == loop.byteAt(w);
  EXPECT_LT(plainRight, count * 3 / 4) << "the room does not confuse the plain reading";

  RoomModel model;
  ASSERT_TRUE(readThrough(model, history));
  const RoomReading& reading = model.take();
  ASSERT_EQ(reading.length, count);
  EXPECT_EQ(reading.even, 0);
  int roomRight = 0;
  for (int w = 0; w < reading.length; ++w) {
    roomRight += reading.bytes[static_cast<std::size_t>(w)] ==
                 loop.byteAt(static_cast<int>(reading.base) + w);
  }
  EXPECT_GE(roomRight, count - 2);  // the first windows have no symbols before them
}

// A window heard far louder than the others (the sender turned up for a moment), before the
// loop came round twice, so that each window is read on its own: read through the model, its
// tones that sound lie above the highest room level a byte holds in steps of 1/32, and are
// kept at it, still on, not wrapped round below the lowest.
TEST(CoreStages, RoomModelReadsALoudWindowsTonesAsOn) {
  const Loop loop = framedLoop(u"Attic", u"ring ring ring");
  std::mt19937 random(5);
  const int count = loop.windowsPerPass * 7 / 4;
  std::vector<TonePhasor> windows = windowsOf(loop, 0, count, {1.0f}, random);
  const int loud = loop.windowsPerPass - 1;  // the last frame's check byte: never 0
  for (Phasor& tone : windows[static_cast<std::size_t>(loud)]) tone = 2.5f * tone;
  RoomModel model;
  ASSERT_TRUE(readThrough(model, historyOf(windows)));
  const RoomReading& reading = model.take();
  ASSERT_EQ(reading.length, count);
  const std::uint8_t byte = loop.byteAt(loud);
  EXPECT_EQ(reading.bytes[loud], byte);
  for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
    if (soundsIn(byte, bit)) {
      EXPECT_GT(reading.levelOf(loud, bit), 1.0f) << bit;
    }
  }
}

// A tone read through a known response, from a reading with a fifth of its windows turned
// round: in integers, scaled as a chip without an FPU scales it, it reads as in floats, the
// truth, and its levels lie within a unit of theirs.
TEST(CoreStages, ReadingThroughAResponseInIntegersReadsAsInFloats) {
  constexpr int kCount = kRoomWindows;
  const std::array<Phasor, kResponseTerms> response = {
      Phasor{0.30f, 0.05f}, {-0.20f, 0.15f}, {0.10f, -0.12f}, {0.06f, 0.04f}, {-0.03f, 0.02f},
      {0.02f, 0.01f},       {-0.01f, 0.01f}, {0.005f, 0.0f},  {0.0f, 0.003f}};
  std::mt19937 random(12);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::array<std::uint32_t, (kCount + 31) / 32> truth{};
  for (int w = 0; w < kCount; ++w) setBit(truth.data(), w, random() % 2 == 0);
  std::vector<Phasor> tone(kCount);
  for (int w = 0; w < kCount; ++w) {
    tone[static_cast<std::size_t>(w)] = {noise(random), noise(random)};
    for (int e = 0; e <= w && e < static_cast<int>(kResponseTerms); ++e) {
      if (bitAt(truth.data(), w - e))
        tone[static_cast<std::size_t>(w)] =
            tone[static_cast<std::size_t>(w)] + response[static_cast<std::size_t>(e)];
    }
  }
  auto start = truth;
  for (int w = 0; w < kCount; w += 5) setBit(start.data(), w, !bitAt(start.data(), w));

  std::vector<Phasor> floats = tone;
  auto floatReading = start;
  std::vector<float> floatLevels(kCount);
  readThroughResponse(
      response, static_cast<int>(kResponseTerms), kCount, 0, floatReading.data(),
      [&](int w) -> Phasor& { return floats[static_cast<std::size_t>(w)]; },
      [&](int w, float on) { floatLevels[static_cast<std::size_t>(w)] = on; });

  float largest = 0.0f;
  for (const Phasor& y : tone) largest = std::max({largest, std::abs(y.re), std::abs(y.im)});
  const float scale = fixedScaleOf(largest);
  std::vector<FixedPhasor> fixed;
  for (const Phasor& y : tone) fixed.push_back(toFixed(y, scale, kFixedWindowMost));
  std::array<FixedPhasor, kResponseTerms> fixedResponse{};
  for (std::size_t e = 0; e < kResponseTerms; ++e)
    fixedResponse[e] = toFixed(response[e], scale, kFixedTermMost);
  auto fixedReading = start;
  std::vector<float> fixedLevels(kCount);
  readThroughResponse(
      fixedResponse, static_cast<int>(kResponseTerms), kCount, 0, fixedReading.data(),
      [&](int w) -> FixedPhasor& { return fixed[static_cast<std::size_t>(w)]; },
      [&](int w, FixedScalar on) {
        fixedLevels[static_cast<std::size_t>(w)] = static_cast<float>(on);
      });

  // A window whose reading lies at the threshold may go either way, and the few its ringing
  // reaches with it.
  int floatRight = 0, fixedRight = 0, levelsAlike = 0;
  for (int w = 0; w < kCount; ++w) {
    const auto i = static_cast<std::size_t>(w);
    floatRight += bitAt(floatReading.data(), w) == bitAt(truth.data(), w);
    fixedRight += bitAt(fixedReading.data(), w) == bitAt(truth.data(), w);
    levelsAlike += std::abs(fixedLevels[i] - floatLevels[i]) <= 1.0f / RoomReading::kLevelUnit;
  }
  EXPECT_GE(floatRight, kCount - kCount / 20) << "most windows turned round are mended";
  EXPECT_GE(fixedRight, floatRight - 2);
  EXPECT_GE(levelsAlike, kCount * 97 / 100);
}

// The frames choose between each tone's best reading and its runner-up. The best readings of
// the tones in `wrong` are turned round in every third window, while tones 5 and then 6 lie
// nearest the threshold everywhere, so a failed parity turns round the wrong tone. Every tone in
// `withRunnerUp` has one: the truth for a tone read wrong, else the best reading turned round.
// Returns the choice made; `bytes` gets the bytes read with it.
std::uint32_t chosenFor(const Loop& loop, std::uint32_t wrong, std::uint32_t withRunnerUp,
                        std::vector<std::uint8_t>& bytes) {
  const int count = 2 * loop.windowsPerPass;
  std::vector<std::uint32_t> packed;
  FrameChoice::Misfits best{};
  FrameChoice::Misfits runnerUp{};
  for (std::size_t bit = 0; bit < kRoomTones; ++bit)
    runnerUp[bit] = (withRunnerUp >> bit) & 1u ? 1.0f : FrameChoice::kNoReading;
  for (int w = 0; w < count; ++w) {
    std::array<std::int8_t, kRoomTones> levels{};
    std::uint32_t differs = 0;
    for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
      const bool turned = (wrong >> bit) & 1u && w % 3 == 0;
      const bool sounds = soundsIn(loop.byteAt(w), bit) != turned;
      const int margin = bit == 5 ? 8 : bit == 6 ? 16 : 28;
      levels[bit] = static_cast<std::int8_t>(32 + (sounds ? margin : -margin));
      if ((withRunnerUp >> bit) & 1u && (turned || !((wrong >> bit) & 1u))) differs |= 1u << bit;
    }
    packed.push_back(FrameChoice::pack(levels, 32, differs));
  }
  const auto checkingWith = [&](std::uint32_t choice) {
    bytes.clear();
    for (std::uint32_t window : packed) bytes.push_back(FrameChoice::byteOf(window, choice));
    return checkingFrames(count, [&](int w) { return bytes[static_cast<std::size_t>(w)]; });
  };
  FrameChoice choice;
  choice.start(checkingWith(0));
  for (int round = 0; round < 8; ++round) {
    for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
      for (std::size_t other = bit; other < kRoomTones; ++other)
        choice.tryWith(bit, other, best, runnerUp, checkingWith);
    }
    if (!choice.endRound()) break;
  }
  checkingWith(choice.made());
  return choice.made();
}

// A tone read wrong is read as its runner-up; two read wrong in the same windows (the parity
// holds, and neither alone makes a frame check) are read so together; where the tone read as
// its runner-up is the nearest, a failed parity turns round the next nearest. A runner-up that
// makes no frame check is never taken. The bytes read are then the loop's.
TEST(CoreStages, FrameChoiceReadsAsTheirRunnerUpTheTonesThatMakeFramesCheck) {
  const Loop loop = framedLoop(u"HomeNet", u"correct horse battery");
  std::vector<std::uint8_t> truth;
  for (int w = 0; w < 2 * loop.windowsPerPass; ++w) truth.push_back(loop.byteAt(w));
  std::vector<std::uint8_t> bytes;
  struct Case {
    std::uint32_t wrong, withRunnerUp, chosen;
  };
  for (const Case& c :
       {Case{0b100u, 0b1'0000'1100u, 0b100u}, Case{0b1000'0010u, 0b1'1000'1010u, 0b1000'0010u},
        Case{0b110'0000u, 0b10'0000u, 0b10'0000u}}) {
    EXPECT_EQ(chosenFor(loop, c.wrong, c.withRunnerUp, bytes), c.chosen) << c.wrong;
    EXPECT_EQ(bytes, truth) << c.wrong;
  }
  EXPECT_EQ(chosenFor(loop, 0b100u, 0, bytes), 0u);
  EXPECT_NE(bytes, truth) << "the parity alone mends the wrong tone";
}

// A room reading's levels read as the bytes the float reading gives them: the parity mended by
// turning round the tone nearest the threshold, the first of those as near.
TEST(CoreStages, RoomLevelsReadAsTheFloatReadingReadsThem) {
  std::mt19937 random(9);
  std::uniform_int_distribution<int> level(-32, 96);
  for (int trial = 0; trial < 2000; ++trial) {
    std::array<std::int8_t, kRoomTones> levels{};
    ToneLevels asFloats{};
    for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
      // Levels near the threshold often, so that ties for the nearest come up.
      levels[bit] =
          static_cast<std::int8_t>(trial % 2 == 0 ? level(random) : 30 + level(random) % 5);
      asFloats[toneOf(bit)] = static_cast<float>(levels[bit]) / RoomReading::kLevelUnit;
    }
    ASSERT_EQ(RoomReading::byteOf(levels), readSymbol(asFloats, 1.0f).byte) << trial;
  }
}

}  // namespace
}  // namespace sonicsend::testing
