// The fast synthesis against the libm path, bit for bit. The oracle is the libm path's
// arithmetic with libm cos; since sample i depends only on i and the byte of its symbol,
// checking every (symbol, byte) pair covers every message there is.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "synthesis.h"

namespace {

using namespace sonicsend;

bool sameBits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// FNV-1a over the samples' bit patterns.
std::uint64_t hashOf(std::span<const float> samples) {
  std::uint64_t hash = 14695981039346656037u;
  for (float sample : samples)
    hash = (hash ^ std::bit_cast<std::uint32_t>(sample)) * 1099511628211u;
  return hash;
}
using synthesis::FastSettings;
using synthesis::PolynomialCosine;
using synthesis::ToneKernel;

constexpr int kSymbols = kMaxSignalSamples / kSymbolSamples;

// The two exhaustive tests below are arithmetic, which the release and ASan runs check in
// full; ThreadSanitizer slows them twentyfold and finds races only in the threaded split, so
// under it they take every 16th case.
#if defined(__SANITIZE_THREAD__)
constexpr int kStride = 16;
#else
constexpr int kStride = 1;
#endif

// The libm path for any symbol and byte: libm cos of every tone at every sample is computed
// once, the additions and roundings are those of the libm path. Checked against the libm
// path itself in LibmOracle.AgreesWithTheLibmPath.
class LibmOracle {
 public:
  LibmOracle() {
    for (std::size_t tone = 0; tone < kOmegas.size(); ++tone) {
      cosines_[tone].resize(kMaxSignalSamples);
      for (int i = 0; i < kMaxSignalSamples; ++i) {
        cosines_[tone][static_cast<std::size_t>(i)] =
            std::cos((kOmegas[tone] * i) / static_cast<double>(kSampleRate));
      }
    }
  }

  float sample(int i, std::uint8_t byte) const {
    const int carrier = i / kSymbolSamples % 2;
    float value = static_cast<float>(kCarrierAmplitude * cosine(carrier, i));
    int setBits = 0;
    for (int bit = 0; bit < 8; ++bit) {
      if ((byte >> bit) & 1) {
        value = add(value, cosine(2 + bit, i));
        ++setBits;
      }
    }
    return setBits & 1 ? add(value, cosine(10, i)) : value;
  }

  // The libm path's samples of a whole symbol; remembers their hash.
  void run(int symbol, std::uint8_t byte, std::span<float> out) {
    for (int n = 0; n < kSymbolSamples; ++n) {
      out[static_cast<std::size_t>(n)] = sample(symbol * kSymbolSamples + n, byte);
    }
    runHashes_[static_cast<std::size_t>(symbol * 256 + byte)] = hashOf(out);
  }

  std::uint64_t runHash(int symbol, std::uint8_t byte) {
    const auto known = runHashes_[static_cast<std::size_t>(symbol * 256 + byte)];
    if (known) return *known;
    std::vector<float> samples(kSymbolSamples);
    run(symbol, byte, samples);
    return hashOf(samples);
  }

  std::vector<float> signal(const MessageBuffer& message) const {
    std::vector<float> out(static_cast<std::size_t>(frameCount(message) * kFrameSamples));
    Frame frame{};
    for (int i = 0; i < static_cast<int>(out.size()); ++i) {
      const int symbol = i / kSymbolSamples;
      if (i % kFrameSamples == 0) buildFrame(message, symbol / kFrameBytes, frame);
      out[static_cast<std::size_t>(i)] =
          sample(i, frame[static_cast<std::size_t>(symbol % kFrameBytes)]);
    }
    return out;
  }

  // Shared by the tests, which run on one thread.
  static LibmOracle& instance() {
    static LibmOracle oracle;
    return oracle;
  }

  // Carriers, bits 0 to 7, parity.
  static constexpr std::array<double, 11> kOmegas = {
      kOmegaCarrierEven, kOmegaCarrierOdd, kOmegaBit[0], kOmegaBit[1], kOmegaBit[2], kOmegaBit[3],
      kOmegaBit[4],      kOmegaBit[5],     kOmegaBit[6], kOmegaBit[7], kOmegaParity};

 private:
  double cosine(int tone, int i) const {
    return cosines_[static_cast<std::size_t>(tone)][static_cast<std::size_t>(i)];
  }
  static float add(float value, double cosine) {
    return static_cast<float>(static_cast<double>(value) + kToneAmplitude * cosine);
  }

  std::array<std::vector<double>, 11> cosines_;
  std::vector<std::optional<std::uint64_t>> runHashes_ =
      std::vector<std::optional<std::uint64_t>>(kSymbols * 256);
};

// The fast path's samples of `message` and its fallback count.
struct Fast {
  std::vector<float> samples;
  long fallbacks;
};
Fast synthesizeFast(const MessageBuffer& message, const FastSettings& settings = {}) {
  std::vector<float> signal(kSignalCapacity);
  const auto outcome = synthesis::synthesizeFast(message, signal, settings).value();
  signal.resize(static_cast<std::size_t>(outcome.samples));
  return {signal, outcome.fallbacks};
}

MessageBuffer randomMessage(std::mt19937& random, Layout layout, int length) {
  // Bare messages add one byte to the credentials, framed ones three.
  const int units = length - (layout == Layout::bare ? 1 : 3);
  std::uniform_int_distribution<int> unit(1, 0xFFFF);
  std::u16string text;
  for (int n = 0; n < units; ++n) text += static_cast<char16_t>(unit(random));
  const auto split = static_cast<std::size_t>(random() % (text.size() + 1));
  return buildMessage(layout, text.substr(0, split), text.substr(split)).value();
}

MessageBuffer longestMessage() {
  std::mt19937 random(96);
  return randomMessage(random, Layout::framed, kMaxMessageBytes);
}

TEST(PolynomialCosine, StaysWithinItsBoundOfLibmAtEveryPhaseTheSignalUses) {
  for (double omega : LibmOracle::kOmegas) {
    double worst = 0.0;
    for (int i = 0; i < kMaxSignalSamples; ++i) {
      const double phase = (omega * i) / static_cast<double>(kSampleRate);
      worst = std::max(worst, std::fabs(PolynomialCosine::evaluate(phase) - std::cos(phase)));
    }
    EXPECT_LE(worst, PolynomialCosine::kMaxError) << "omega " << omega;
  }
}

TEST(LibmOracle, AgreesWithTheLibmPath) {
  const MessageBuffer message = longestMessage();
  std::vector<float> signal(kMaxSignalSamples);
  ASSERT_EQ(synthesis::synthesizeWithLibm(message, signal), kMaxSignalSamples);
  EXPECT_TRUE(sameBits(signal, LibmOracle::instance().signal(message)));
}

TEST(FastSynthesis, EverySymbolWithEveryByteMatchesTheLibmPath) {
  const ToneKernel kernel = synthesis::polynomialKernel();
  std::vector<float> samples(kSymbolSamples), expected(kSymbolSamples);
  std::vector<std::uint8_t> unsure(kSymbolSamples);
  long fallbacks = 0;
  for (int symbol = 0; symbol < kSymbols; ++symbol) {
    for (int value = symbol % kStride; value < 256; value += kStride) {
      const auto byte = static_cast<std::uint8_t>(value);
      const synthesis::Run run{symbol * kSymbolSamples, kSymbolSamples, samples.data(),
                               unsure.data()};
      fallbacks += synthesis::synthesizeRun(kernel, byte, symbol % 2, run);
      LibmOracle::instance().run(symbol, byte, expected);
      ASSERT_TRUE(sameBits(samples, expected)) << "symbol " << symbol << " byte " << value;
    }
  }
  // Rare: a few in the 78.6 million samples.
  EXPECT_LT(fallbacks, 1000);
}

// Compares each symbol of the fast signal with the libm path's by a 64-bit hash (a wrong
// symbol passes with odds of 2^-64). Every length comes
// three times in each layout; the other messages are one frame long (up to 8 bytes) to keep the
// test quick under the sanitizers. The long messages' symbols are all covered above.
TEST(FastSynthesis, RandomMessagesOfEveryLengthInBothLayoutsMatchTheLibmPath) {
  std::mt19937 random(12);
  auto& oracle = LibmOracle::instance();
  std::vector<float> signal(kSignalCapacity);
  int checked = 0;
  for (Layout layout : {Layout::framed, Layout::bare}) {
    const int shortest = layout == Layout::framed ? 3 : 1;
    const int lengths = kMaxMessageBytes - shortest + 1;
    for (int n = 0; n < 5000; n += kStride) {
      std::uniform_int_distribution<int> oneFrame(shortest, kFramePayloadBytes);
      const int length = n < 3 * lengths ? shortest + n % lengths : oneFrame(random);
      const MessageBuffer message = randomMessage(random, layout, length);
      // Shares of up to four threads cut the signal at arbitrary samples.
      const auto fast =
          synthesis::synthesizeFast(message, signal, {.threads = 1 + n / kStride % 4});
      ASSERT_EQ(fast->samples, frameCount(message) * kFrameSamples);
      Frame frame{};
      for (int symbol = 0; symbol < fast->samples / kSymbolSamples; ++symbol) {
        if (symbol % kFrameBytes == 0) buildFrame(message, symbol / kFrameBytes, frame);
        const std::uint8_t byte = frame[static_cast<std::size_t>(symbol % kFrameBytes)];
        const auto run = std::span(signal).subspan(
            static_cast<std::size_t>(symbol * kSymbolSamples), kSymbolSamples);
        ASSERT_EQ(hashOf(run), oracle.runHash(symbol, byte))
            << "length " << length << " message " << n << " symbol " << symbol;
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 10000 / kStride);
}

// The polynomial cosine made worse by up to `kError`, with the bound it declares.
template <bool kHonest>
struct WorseCosine {
  static constexpr double kError = 1e-9;
  static constexpr double kMaxError = PolynomialCosine::kMaxError + (kHonest ? kError : 0.0);
  static double evaluate(double phase) {
    const bool up = (std::bit_cast<std::uint64_t>(phase) >> 12) & 1;
    return PolynomialCosine::evaluate(phase) + (up ? kError : -kError);
  }
};

TEST(FastSynthesis, AWorseCosineWithAWiderBoundStaysExactWithMoreFallbacks) {
  const MessageBuffer message = longestMessage();
  const auto expected = LibmOracle::instance().signal(message);
  const Fast polynomial = synthesizeFast(message);
  const Fast worse = synthesizeFast(message, {.kernel = synthesis::kernelFor<WorseCosine<true>>()});
  EXPECT_TRUE(sameBits(polynomial.samples, expected));
  EXPECT_TRUE(sameBits(worse.samples, expected));
  EXPECT_GT(worse.fallbacks, 100 * (polynomial.fallbacks + 1));
}

TEST(FastSynthesis, AWorseCosineThatHidesItsErrorIsCaught) {
  const MessageBuffer message = longestMessage();
  const Fast lying =
      synthesizeFast(message, {.kernel = synthesis::kernelFor<WorseCosine<false>>()});
  EXPECT_FALSE(sameBits(lying.samples, LibmOracle::instance().signal(message)));
}

}  // namespace
