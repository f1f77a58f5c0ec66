// The receiver library: random credentials sent through the sender's signal and read back,
// what a single reading of a frame must show, and how frames are gathered across passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <random>
#include <tuple>

#include "carrier.h"
#include "channels.h"
#include "decoder.h"
#include "frames.h"
#include "heardRightly.h"
#include "onCore.h"
#include "recordings.h"
#include "symbols.h"

namespace sonicsend::testing {
namespace {

using namespace simulator;

// `length` random UTF-16 code units: ASCII, Latin-1 or above U+00FF. Units whose low byte is
// zero are left out: the sender stops sending at such a byte.
std::u16string randomText(std::mt19937& random, int alphabet, int length) {
  static constexpr int kRanges[3][2] = {{0x20, 0x7E}, {0x01, 0xFF}, {0x0101, 0xFFFF}};
  std::uniform_int_distribution<int> units(kRanges[alphabet][0], kRanges[alphabet][1]);
  std::u16string text;
  while (std::ssize(text) < length) {
    const auto unit = static_cast<char16_t>(units(random));
    if ((unit & 0xFF) != 0 && (unit < 0xD800 || unit > 0xDFFF)) text.push_back(unit);
  }
  return text;
}

TEST(RoundTrip, RandomCredentialsFromAnywhereInTheLoop) {
  std::mt19937 random(20261206);
  for (int index = 0; index < 500; ++index) {
    SCOPED_TRACE(index);
    const Layout layout = index % 4 == 3 ? Layout::bare : Layout::framed;
    const int limit =
        layout == Layout::framed ? kMaxFramedCredentialUnits : kMaxBareCredentialUnits;
    // Every tenth pair fills the message to its limit; every tenth other one is empty.
    const int drawn = std::uniform_int_distribution<int>(0, limit)(random);
    const int total = index % 10 == 0 ? limit : index % 10 == 5 ? 0 : drawn;
    const int ssidUnits = std::uniform_int_distribution<int>(0, std::min(total, 32))(random);
    const int alphabet = std::uniform_int_distribution<int>(0, 2)(random);
    const std::u16string ssid = randomText(random, alphabet, ssidUnits);
    const std::u16string key = randomText(random, alphabet, total - ssidUnits);
    const auto pass = passOf(layout, ssid, key);
    // A pass and two frames from any offset hold every frame whole, and the last frame followed
    // by the first, which tells where a bare message without a zero ends.
    const auto offset = std::uniform_int_distribution<std::size_t>(0, pass.size() - 1)(random);
    const auto result =
        receiver::decode(loop(pass, offset, pass.size() + 2 * kFrameSamples), kSampleRate);
    // A unit whose low byte is the separator leaves no safe split: no message at all.
    const char separator = layout == Layout::framed ? '\x1F' : '\x0D';
    const std::string sent = bytesOf(ssid) + separator + bytesOf(key);
    if (std::ranges::count(sent, separator) > 1) {
      EXPECT_EQ(result.failure, receiver::Failure::ambiguous);
      continue;
    }
    ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
    EXPECT_EQ(result.decoded->frames, static_cast<int>(pass.size() / kFrameSamples));
    const receiver::Message& heard = result.decoded->message;
    EXPECT_EQ(heard.layout, layout == Layout::framed ? receiver::MessageLayout::framed
                                                     : receiver::MessageLayout::bare);
    EXPECT_EQ(heard.ssid, bytesOf(ssid));
    EXPECT_EQ(heard.key, bytesOf(key));
  }
}

constexpr auto kCarrier = static_cast<float>(kCarrierAmplitude);
constexpr auto kTone = static_cast<float>(kToneAmplitude);

constexpr auto tone = [](int k) { return static_cast<std::size_t>(k - kCarrierEvenK); };

// The tone levels of a clean recording of `frame`, one window per symbol.
std::vector<receiver::ToneLevels> levelsOf(const Frame& frame) {
  std::vector<receiver::ToneLevels> levels(frame.size());
  for (std::size_t i = 0; i < frame.size(); ++i) {
    levels[i][tone(i % 2 == 0 ? kCarrierEvenK : kCarrierOddK)] = kCarrier;
    for (std::size_t bit = 0; bit < 8; ++bit) {
      if ((frame[i] >> bit) & 1) levels[i][tone(kBitToneK[bit])] = kTone;
    }
    if (std::popcount(frame[i]) % 2 != 0) levels[i][tone(kParityK)] = kTone;
  }
  return levels;
}

std::optional<std::vector<std::uint8_t>> firstPass(const std::vector<receiver::ToneLevels>& levels,
                                                   receiver::PassOutcome& search) {
  std::optional<std::vector<std::uint8_t>> payload;
  const auto windows = receiver::hearWindows(levels);
  if (!windows) {
    search = receiver::PassOutcome::noSignal;
    return payload;
  }
  search = receiver::findPass(*windows, receiver::Copies::independent,
                              [&](const receiver::PassCandidate& pass) {
                                payload = pass.payload;
                                return true;
                              });
  return payload;
}

// A reading that another one, nearly as likely, would pass the frame check as well is not
// believed from one copy: bit 7 of a payload byte with its parity tone (no check sees bit 7),
// or one bit of a payload byte with the same bit of the check byte (the sum stays the same).
TEST(FrameReading, DoubtfulReadingNeedsASecondCopy) {
  const auto message = buildMessage(Layout::framed, u"abcde", u"").value();
  Frame frame{};
  buildFrame(message, 0, frame);  // 01 86 61 62 63 64 65 1F 2E C3
  const std::vector<std::uint8_t> expected(frame.begin() + 1, frame.end() - 1);
  const auto clean = levelsOf(frame);
  using Tone = std::tuple<std::size_t, int, float>;  // symbol, k, level
  const std::vector<std::vector<Tone>> doubts = {
      {{2, kBitToneK[7], 0.95f * kCarrier}, {2, kParityK, 1.05f * kCarrier}},
      {{2, kBitToneK[0], 1.1f * kCarrier},
       {2, kParityK, 1.1f * kCarrier},
       {9, kBitToneK[0], 1.1f * kCarrier},
       {9, kParityK, 0.9f * kCarrier}},
  };
  receiver::PassOutcome search{};
  EXPECT_EQ(firstPass(clean, search), expected);
  for (const auto& doubt : doubts) {
    SCOPED_TRACE(doubt.size() == 2 ? "bit 7" : "bit 0 of payload and check byte");
    auto doubtful = clean;
    for (const auto& [symbol, k, level] : doubt) doubtful[symbol][tone(k)] = level;
    EXPECT_FALSE(firstPass(doubtful, search));
    EXPECT_EQ(search, receiver::PassOutcome::incomplete);
    doubtful.insert(doubtful.end(), clean.begin(), clean.end());
    EXPECT_EQ(firstPass(doubtful, search), expected);
  }
}

constexpr std::u16string_view kSsid = u"Home network 5G";
constexpr std::u16string_view kKey = u"a long passphrase";

TEST(Gathering, TakesEachFrameFromAPassThatHeardItOrFromTheSumOfPasses) {
  const auto pass = passOf(Layout::framed, kSsid, kKey);
  auto recording = loop(pass, 0, 3 * pass.size());
  std::mt19937 random(11);
  std::normal_distribution<float> loud(0.0f, 2.0f);
  // Every frame is drowned in two of the three passes, each pass losing some.
  for (std::size_t frame = 0; frame < pass.size() / kFrameSamples; ++frame) {
    for (std::size_t lost : {frame % 3, (frame + 1) % 3}) {
      const auto first = recording.begin() +
                         static_cast<std::ptrdiff_t>(lost * pass.size() + frame * kFrameSamples);
      std::generate(first, first + kFrameSamples, [&] { return loud(random); });
    }
  }
  auto result = receiver::decode(recording, kSampleRate);
  ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
  EXPECT_EQ(result.decoded->message.ssid, bytesOf(kSsid));
  EXPECT_EQ(result.decoded->message.key, bytesOf(kKey));
  EXPECT_EQ(result.decoded->passes, 1);

  // At 14 dB below the noise no pass alone is clear enough, but eight passes together are.
  random.seed(5);
  auto single = pass;
  addNoise(single, -14.0, random);
  EXPECT_FALSE(receiver::decode(single, kSampleRate).decoded);
  recording = loop(pass, 0, 8 * pass.size());
  addNoise(recording, -14.0, random);
  result = receiver::decode(recording, kSampleRate);
  ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
  EXPECT_EQ(result.decoded->message.key, bytesOf(kKey));

  // At 14 dB below the noise two passes are not enough and three are: the answer was read
  // from three, whatever silence came before (the slots searched in it do not count).
  for (const std::size_t silence : {0u, 10u, 60u}) {
    SCOPED_TRACE(std::to_string(silence) + " s of silence");
    for (const std::size_t passes : {2u, 3u}) {
      random.seed(3);
      recording = loop(pass, 0, passes * pass.size());
      addNoise(recording, -14.0, random);
      recording.insert(recording.begin(), silence * kSampleRate, 0.0f);
      result = receiver::decode(recording, kSampleRate);
      EXPECT_EQ(result.decoded ? result.decoded->passes : 0, passes == 3 ? 3 : 0) << passes;
    }
  }
}

TEST(Gathering, ReportsWhyNothingWasDecoded) {
  using receiver::Failure;
  EXPECT_EQ(receiver::decode(std::vector<float>(kSampleRate), kSampleRate).failure,
            Failure::noSignal);
  EXPECT_EQ(receiver::decode({}, kSampleRate).failure, Failure::noSignal);
  // Half a pass: a signal, but the rest of the message is never heard.
  const auto pass = passOf(Layout::framed, kSsid, kKey);
  const auto half = loop(pass, 0, pass.size() / 2);
  EXPECT_EQ(receiver::decode(half, kSampleRate).failure, Failure::incomplete);
  for (double rate : {0.0, 6399.0, 768001.0, std::nan("")}) {
    EXPECT_EQ(receiver::decode(half, rate).failure, Failure::unsupportedRate) << rate;
  }
  for (double rate : {receiver::kLowestSampleRate, receiver::kHighestSampleRate}) {
    EXPECT_NE(receiver::decode(half, rate).failure, Failure::unsupportedRate) << rate;
  }
  // A bare message that fills its frames without a zero after it (SSID, 0x0D, key: 16 bytes)
  // could be the start of a longer one until the pass comes round again.
  const auto bare = passOf(Layout::bare, u"Lab network", u"k3y4");
  ASSERT_EQ(bare.size(), 2u * kFrameSamples);
  EXPECT_EQ(receiver::decode(bare, kSampleRate).failure, Failure::incomplete);
  const auto result = receiver::decode(loop(bare, 0, 3 * kFrameSamples), kSampleRate);
  ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
  EXPECT_EQ(result.decoded->message.key, "k3y4");
  // A message holding its separator more than once has no safe split: neither receiver reports
  // one, and a framed one is not read as bare at a 0x0D either.
  const std::pair<Layout, std::u16string> ambiguous[] = {
      {Layout::framed, u"se\037cret"}, {Layout::bare, u"se\rcret"}, {Layout::framed, u"a\037b\rc"}};
  for (const auto& [layout, key] : ambiguous) {
    const auto sent = passOf(layout, u"HomeNet", key);
    const auto looped = loop(sent, 0, 3 * sent.size());
    EXPECT_EQ(receiver::decode(looped, kSampleRate).failure, Failure::ambiguous);
    CoreState core(16000);
    EXPECT_FALSE(listen(core.core(), resampleTo(looped, 16000), 16000, 0));
  }
}

TEST(Gathering, StreamDecoderHearsTheMessageOnceItHasComeRound) {
  // Two seconds of silence, then three passes, all in noise, captured at 48 kHz and delivered
  // in 100 ms pieces.
  const auto pass = passOf(Layout::bare, kSsid, kKey);
  std::vector<float> captured(2 * kSampleRate);
  const auto signal = loop(pass, 4321, 3 * pass.size());
  captured.insert(captured.end(), signal.begin(), signal.end());
  std::mt19937 random(9);
  addNoise(captured, 20.0, random);
  captured = resampleTo(captured, 48000);
  captured.resize(captured.size() / 4800 * 4800);

  receiver::StreamDecoder decoder(48000);
  std::optional<receiver::Decoded> heard;
  std::size_t fed = 0;
  for (; !heard && fed < captured.size(); fed += 4800) {
    heard = decoder.push(std::span(captured).subspan(fed, 4800));
  }
  ASSERT_TRUE(heard) << receiver::describe(decoder.lastFailure());
  EXPECT_EQ(heard->message.layout, receiver::MessageLayout::bare);
  EXPECT_EQ(heard->message.ssid, bytesOf(kSsid));
  EXPECT_LT(fed, captured.size());  // heard before the three passes were over
}

// More noise than a stream keeps, then the message: the oldest audio is let go, and what is
// kept still holds the message whole.
TEST(Gathering, StreamDecoderLetsTheOldestAudioGo) {
  const auto pass = passOf(Layout::framed, kSsid, kKey);
  std::vector<float> captured(40 * kSampleRate);
  std::mt19937 random(4);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  for (float& sample : captured) sample = noise(random);
  const auto signal = loop(pass, 0, 3 * pass.size());
  captured.insert(captured.end(), signal.begin(), signal.end());

  receiver::StreamDecoder decoder(kSampleRate, receiver::StreamDecoder::Pace::file);
  std::optional<receiver::Decoded> heard;
  for (std::size_t fed = 0; !heard && fed < captured.size(); fed += kSampleRate) {
    heard = decoder.push(std::span(captured).subspan(
        fed, std::min<std::size_t>(kSampleRate, captured.size() - fed)));
  }
  if (!heard) heard = decoder.finish();
  ASSERT_TRUE(heard) << receiver::describe(decoder.lastFailure());
  EXPECT_EQ(heard->message.key, bytesOf(kKey));
}

// The desktop receiver hears first what a device would: at a rate the core reads, decode
// reports the core's frames and passes, and a stream, though it reads its history only once
// per longest pass, reports the message no later than the core alone, fed the same
// 256-sample blocks, hears it.
TEST(OnCore, TheDesktopHearsWhatTheCoreHears) {
  constexpr int kRate = 16000;
  constexpr std::size_t kBlock = 256;
  std::mt19937 random(77);
  for (int message = 0; message < 3; ++message) {
    SCOPED_TRACE("message " + std::to_string(message));
    const Sent sent = randomMessage(random);
    const Recording recording = record(sent, 3, detail::noisy(10.0, kRate), random);
    const std::span<const float> samples = recording.samples;

    CoreState alone(kRate);
    std::size_t coreHeardAt = 0;
    while (coreHeardAt < samples.size() && !alone.core().poll()) {
      alone.core().push(
          samples.subspan(coreHeardAt, std::min(kBlock, samples.size() - coreHeardAt)));
      coreHeardAt += kBlock;
    }
    const receiver::CoreMessage* core = alone.core().message();
    ASSERT_NE(core, nullptr);

    const auto whole = receiver::decode(samples, kRate);
    ASSERT_TRUE(heardRightly(whole, sent));
    EXPECT_EQ(whole.decoded->frames, core->frames);
    EXPECT_EQ(whole.decoded->passes, core->passes);

    receiver::StreamDecoder stream(kRate, receiver::StreamDecoder::Pace::file);
    std::size_t streamHeardAt = 0;
    std::optional<receiver::Decoded> heard;
    while (!heard && streamHeardAt < samples.size()) {
      heard = stream.push(
          samples.subspan(streamHeardAt, std::min(kBlock, samples.size() - streamHeardAt)));
      streamHeardAt += kBlock;
    }
    ASSERT_TRUE(heard);
    EXPECT_LE(streamHeardAt, coreHeardAt);
  }
}

// A single pass recorded with the recorder's clock a percent fast: the listening core, which
// finds the clock only some windows in and forgets the windows it heard before, misses it; the
// whole recording, read again at the rate that clock gives it, holds every frame, for decode
// and for a stream alike. (Read as it came, its symbols slip off the grid of the sender's.)
TEST(Gathering, OnePassWithTheClockOffIsReadAtTheSendersRate) {
  std::mt19937 random(7);
  for (const int units : {10, 76}) {
    const Sent sent = messageOf(random, units);
    SCOPED_TRACE(std::to_string(sent.pass.size() / kFrameSamples) + " frames");
    const auto recording = warpClock(sent.pass, 10000.0);
    CoreState core(kSampleRate);
    ASSERT_FALSE(listen(core.core(), recording, kSampleRate)) << "the core alone hears it";
    EXPECT_TRUE(heardRightly(receiver::decode(recording, kSampleRate), sent));
    receiver::StreamDecoder stream(kSampleRate, receiver::StreamDecoder::Pace::file);
    auto streamed = stream.push(recording);
    if (!streamed) streamed = stream.finish();
    EXPECT_TRUE(heardRightly({streamed}, sent));
  }
}

// The symbol grid lies on the sender's symbol boundaries wherever the recording ends. One that
// ends a little short of a whole symbol fits one more window at phases a few blocks early,
// which draws the rough phase there; comparing the same windows at each phase around it, the
// refinement moves it back. Its windows then measure as those of a recording ending on a
// boundary.
TEST(SymbolGrid, LiesOnTheSymbolsWhereverTheRecordingEnds) {
  std::mt19937 random(3);
  const Sent sent = messageOf(random, 20);
  const auto onBoundary = receiver::measureSymbols(loop(sent.pass, 0, 20 * kSymbolSamples));
  for (const std::size_t shortBy : {288u, 304u, 320u}) {
    SCOPED_TRACE(shortBy);
    const auto grid = receiver::measureSymbols(loop(sent.pass, 0, 21 * kSymbolSamples - shortBy));
    ASSERT_GE(grid.levels.size(), onBoundary.levels.size());
    double apart = 0.0;
    for (std::size_t w = 0; w < onBoundary.levels.size(); ++w) {
      for (std::size_t k = 0; k < grid.levels[w].size(); ++k)
        apart = std::max(apart, double{std::abs(grid.levels[w][k] - onBoundary.levels[w][k])});
    }
    EXPECT_LT(apart, 1e-3 * kToneAmplitude);
  }
}

// A window a dropout cut short counts by what its carrier kept of its reference level, and not
// at all when almost nothing is left; a window whose carrier fell because a loud tone took its
// share (clipping) was not cut.
TEST(Gathering, DropoutsCountWindowsByWhatTheirCarrierKept) {
  struct Row {
    const char* name;
    float carrier;  // of a reference level of 1
    float loudestTone;
    double heard;
    bool erased;
  };
  for (const Row& row :
       {Row{"whole", 1.0f, 2.0f, 1.0, false}, Row{"a tenth cut", 0.9f, 0.5f, 1.0, false},
        Row{"half cut", 0.6f, 0.3f, 0.6, false}, Row{"mostly cut", 0.3f, 0.1f, 0.3, true},
        Row{"silenced", 0.05f, 0.02f, 0.0, true}, Row{"clipped", 0.3f, 2.0f, 1.0, false}}) {
    SCOPED_TRACE(row.name);
    receiver::Levels window{};
    window[receiver::kEvenCarrier] = row.carrier;
    window[receiver::toneOf(0)] = row.loudestTone;
    const auto presence = receiver::presenceOf(window, double{row.carrier}, 1.0, 0.01);
    EXPECT_NEAR(presence.heard, row.heard, 1e-6);
    EXPECT_EQ(presence.erased, row.erased);
  }
}

// The noise share is the median of the tones read as off, against each window's own
// reference: tones that sound do not count, and a level read below 0 or not a number (as a
// model of the room may leave it) counts without harm.
TEST(Gathering, NoiseIsTheMedianOfTheTonesReadAsOff) {
  constexpr std::uint8_t kByte = 0x0F;  // bits 0 to 3 sound; four tones, so no parity tone
  constexpr std::array<double, 5> kOff = {0.1, 0.2, 0.3, 0.4, 0.5};
  std::vector<receiver::Levels> levels(40);
  std::vector<double> references(levels.size());
  for (std::size_t w = 0; w < levels.size(); ++w) {
    references[w] = 1.0 + static_cast<double>(w % 3);
    for (std::size_t bit = 0; bit < 4; ++bit)
      levels[w][receiver::toneOf(bit)] = 2.0 * references[w];
    for (std::size_t i = 0; i < kOff.size(); ++i)
      levels[w][receiver::toneOf(4 + i)] = kOff[i] * references[w];
  }
  levels[7][receiver::toneOf(4)] = -1.0;
  levels[8][receiver::toneOf(5)] = std::nan("");
  const double noise = receiver::noiseShare(
      levels.size(), [&](std::size_t w) { return levels[w]; },
      [&](std::size_t w) { return references[w]; }, [](std::size_t) { return kByte; });
  EXPECT_NEAR(noise, 0.3, 1.0 / 128);
}

// In single precision a level's step of the noise share comes from a product with the
// reference's inverse, the quotient only near a step's edge: either way the step is the
// quotient's, on each side of every edge, below 0, beyond the last step and for no number.
TEST(Gathering, NoiseStepsInSinglePrecisionAreTheQuotients) {
  using Steps = receiver::ShareSteps<float>;
  const auto quotients = [](float level, float reference) {
    const float step = std::clamp(level / reference * 128.0f, 0.0f, 255.0f);
    return step == step ? static_cast<std::size_t>(step) : std::size_t{255};
  };
  std::mt19937 random(7);
  std::uniform_real_distribution<float> exponent(-30.0f, 30.0f);
  for (int r = 0; r < 200; ++r) {
    const float reference = std::exp2(exponent(random)) * (1.0f + 0.001f * static_cast<float>(r));
    const Steps steps(reference);
    std::vector<float> levels = {-reference, 0.0f, std::nanf(""), INFINITY, 1e30f * reference};
    for (int edge = 1; edge <= 257; edge += 1 + r % 7) {
      const float at = static_cast<float>(edge) / 128.0f * reference;
      float up = at;
      float down = at;
      levels.push_back(at);
      for (int i = 0; i < 3; ++i) {
        up = std::nextafter(up, INFINITY);
        down = std::nextafter(down, 0.0f);
        levels.insert(levels.end(), {up, down});
      }
    }
    std::uniform_real_distribution<float> share(0.0f, 2.1f);
    for (int i = 0; i < 50; ++i) levels.push_back(share(random) * reference);
    for (float level : levels)
      ASSERT_EQ(steps.of(level), quotients(level, reference)) << level << " / " << reference;
  }
}

// The carrier test, with the truth known: the carriers alternate from a known parity, in all
// the windows, or only in a stretch of three frames amid loud noise; noise alone never shows,
// nor noise that ends in silence.
TEST(Gathering, CarriersShowTheSignalAndItsEvenSymbols) {
  std::mt19937 random(5);
  std::normal_distribution<double> gauss;
  // A carrier's level in noise of spread `noise`: the size of a complex sum.
  const auto level = [&](double amplitude, double noise) {
    return std::abs(std::complex<double>(amplitude + noise * gauss(random), noise * gauss(random)));
  };
  constexpr std::size_t kWindows = 600;
  // Windows whose carriers sound (of amplitude 1, in noise 0.3) from `parity`; the others
  // hold loud noise alone.
  const auto differences = [&](std::size_t parity, std::size_t from, std::size_t to) {
    std::vector<double> d(kWindows);
    for (std::size_t w = 0; w < kWindows; ++w) {
      const bool sounds = w >= from && w < to;
      const bool even = (w + parity) % 2 == 0;
      const double loud = sounds ? 0.3 : 3.0;
      d[w] = level(sounds && even ? 1.0 : 0.0, loud) - level(sounds && !even ? 1.0 : 0.0, loud);
    }
    return d;
  };
  const auto parityOf = [](const std::vector<double>& d) {
    return receiver::carrierParity(d.size(), [&](std::size_t w) { return d[w]; });
  };
  for (std::size_t parity : {0u, 1u}) {
    EXPECT_EQ(parityOf(differences(parity, 0, kWindows)), static_cast<int>(parity));
    EXPECT_EQ(parityOf(differences(parity, 301, 331)), static_cast<int>(parity));
  }
  for (int trial = 0; trial < 20; ++trial) EXPECT_EQ(parityOf(differences(0, 0, 0)), -1);
  // Noise, then digital silence: a stretch over the silence keeps only what rounding left in
  // its running sums, which shows nothing either.
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<double> d = differences(0, 0, 0);
    std::fill(d.begin() + kWindows / 2, d.end(), 0.0);
    EXPECT_EQ(parityOf(d), -1);
  }
}

}  // namespace
}  // namespace sonicsend::testing
