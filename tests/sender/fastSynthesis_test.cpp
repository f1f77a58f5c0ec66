// The fast synthesis against the libm path, bit for bit. Sample i depends only on i and the
// byte of its symbol, so checking every (symbol, byte) pair covers every message there is.
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
using synthesis::PolynomialCosine;

constexpr int kSymbols = kMaxSignalSamples / kSymbolSamples;

// The exhaustive tests are arithmetic, which the release and ASan runs check in full;
// ThreadSanitizer slows them twentyfold and finds races only in the threaded split, so under
// it they take every 16th case.
#if defined(__SANITIZE_THREAD__)
constexpr int kStride = 16;
#else
constexpr int kStride = 1;
#endif

bool sameBits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// FNV-1a over the samples' bit patterns.
std::uint64_t hashOf(std::span<const float> samples) {
  std::uint64_t hash = 14695981039346656037u;
  for (float sample : samples) {
    hash = (hash ^ std::bit_cast<std::uint32_t>(sample)) * 1099511628211u;
  }
  return hash;
}

// The libm path for any symbol and byte: libm cos of every tone at every sample is computed
// once; the additions and roundings are those of synthesis::libmSample.
class LibmOracle {
 public:
  // Carriers, bits 0 to 7, parity.
  static constexpr std::array<double, 11> kOmegas = {
      kOmegaCarrierEven, kOmegaCarrierOdd, kOmegaBit[0], kOmegaBit[1], kOmegaBit[2], kOmegaBit[3],
      kOmegaBit[4],      kOmegaBit[5],     kOmegaBit[6], kOmegaBit[7], kOmegaParity};

  // Shared by the tests, which run on one thread.
  static LibmOracle& instance() {
    static LibmOracle oracle;
    return oracle;
  }

  // The samples of a whole symbol; remembers their hash.
  void run(int symbol, std::uint8_t byte, std::span<float> out) {
    for (int n = 0; n < kSymbolSamples; ++n) {
      out[static_cast<std::size_t>(n)] = sample(symbol * kSymbolSamples + n, byte);
    }
    hashes_[static_cast<std::size_t>(symbol * 256 + byte)] = hashOf(out);
  }

  // Checks each symbol of a message's signal against the oracle's by hash (a wrong symbol
  // passes with odds of 2^-64).
  void expectSignalOf(const MessageBuffer& message, std::span<const float> signal) {
    ASSERT_EQ(signal.size(), static_cast<std::size_t>(frameCount(message) * kFrameSamples));
    Frame frame{};
    for (int symbol = 0; symbol < frameCount(message) * kFrameBytes; ++symbol) {
      if (symbol % kFrameBytes == 0) buildFrame(message, symbol / kFrameBytes, frame);
      const std::uint8_t byte = frame[static_cast<std::size_t>(symbol % kFrameBytes)];
      const auto samples = signal.subspan(static_cast<std::size_t>(symbol * kSymbolSamples),
                                          static_cast<std::size_t>(kSymbolSamples));
      ASSERT_EQ(hashOf(samples), hash(symbol, byte)) << "symbol " << symbol;
    }
  }

 private:
  LibmOracle() {
    for (std::size_t tone = 0; tone < kOmegas.size(); ++tone) {
      for (int i = 0; i < kMaxSignalSamples; ++i) {
        cosines_[tone].push_back(std::cos((kOmegas[tone] * i) / static_cast<double>(kSampleRate)));
      }
    }
  }

  float sample(int i, std::uint8_t byte) const {
    const auto cosine = [&](std::size_t tone) {
      return cosines_[tone][static_cast<std::size_t>(i)];
    };
    const auto add = [&](float value, std::size_t tone) {
      return static_cast<float>(static_cast<double>(value) + kToneAmplitude * cosine(tone));
    };
    float value =
        static_cast<float>(kCarrierAmplitude * cosine(i / kSymbolSamples % 2 == 0 ? 0 : 1));
    for (std::size_t bit = 0; bit < 8; ++bit) {
      if ((byte >> bit) & 1) value = add(value, 2 + bit);
    }
    return std::popcount(byte) % 2 == 1 ? add(value, 10) : value;
  }

  std::uint64_t hash(int symbol, std::uint8_t byte) {
    const auto known = hashes_[static_cast<std::size_t>(symbol * 256 + byte)];
    if (known) return *known;
    std::vector<float> samples(kSymbolSamples);
    run(symbol, byte, samples);
    return hashOf(samples);
  }

  std::array<std::vector<double>, 11> cosines_;
  std::vector<std::optional<std::uint64_t>> hashes_ =
      std::vector<std::optional<std::uint64_t>>(kSymbols * 256);
};

MessageBuffer randomMessage(std::mt19937& random, Layout layout, int length) {
  // Bare messages add one byte to the credentials, framed ones three.
  const int units = length - (layout == Layout::bare ? 1 : 3);
  std::uniform_int_distribution<int> unit(1, 0xFFFF);
  std::u16string text;
  for (int n = 0; n < units; ++n) text += static_cast<char16_t>(unit(random));
  const auto split = static_cast<std::size_t>(random() % (text.size() + 1));
  return buildMessage(layout, text.substr(0, split), text.substr(split)).value();
}

struct Signals {
  std::vector<float> fast, libm;
  long fallbacks;
};

// The longest message through the fast path with `kernel` and through the libm path.
Signals bothPaths(const synthesis::ToneKernel& kernel) {
  std::mt19937 random(96);
  const MessageBuffer message = randomMessage(random, Layout::framed, kMaxMessageBytes);
  Signals signals{std::vector<float>(kMaxSignalSamples), std::vector<float>(kMaxSignalSamples), 0};
  signals.fallbacks =
      synthesis::synthesizeFast(message, signals.fast, {.kernel = kernel})->fallbacks;
  synthesis::synthesizeWithLibm(message, signals.libm);
  return signals;
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
  std::mt19937 random(7);
  for (Layout layout : {Layout::framed, Layout::bare}) {
    const MessageBuffer message = randomMessage(random, layout, kMaxMessageBytes);
    std::vector<float> signal(kMaxSignalSamples);
    ASSERT_EQ(synthesis::synthesizeWithLibm(message, signal), kMaxSignalSamples);
    LibmOracle::instance().expectSignalOf(message, signal);
  }
}

TEST(FastSynthesis, EverySymbolWithEveryByteMatchesTheLibmPath) {
  const auto kernel = synthesis::polynomialKernel();
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
  EXPECT_LT(fallbacks, 2000);  // rare: 740 of the 78.6 million samples fall back
}

// Every length three times in each layout; the other messages are one frame long (up to 8
// bytes) to keep the test quick under the sanitizers. The symbols of the long messages are
// all covered above.
TEST(FastSynthesis, RandomMessagesOfEveryLengthInBothLayoutsMatchTheLibmPath) {
  std::mt19937 random(12);
  std::vector<float> signal(kSignalCapacity);
  int checked = 0;
  for (Layout layout : {Layout::framed, Layout::bare}) {
    const int shortest = layout == Layout::framed ? 3 : 1;
    const int lengths = kMaxMessageBytes - shortest + 1;
    std::uniform_int_distribution<int> oneFrame(shortest, kFramePayloadBytes);
    for (int n = 0; n < 5000; n += kStride) {
      const int length = n < 3 * lengths ? shortest + n % lengths : oneFrame(random);
      const MessageBuffer message = randomMessage(random, layout, length);
      // Shares of up to four threads cut the signal at arbitrary samples.
      const auto fast =
          synthesis::synthesizeFast(message, signal, {.threads = 1 + n / kStride % 4});
      SCOPED_TRACE("length " + std::to_string(length) + ", message " + std::to_string(n));
      LibmOracle::instance().expectSignalOf(
          message, std::span(signal).first(static_cast<std::size_t>(fast->samples)));
      if (HasFatalFailure()) return;
      ++checked;
    }
  }
  EXPECT_GE(checked, 10000 / kStride);
}

// The polynomial cosine made worse by up to 1e-9, declaring that in its bound or not.
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
  const Signals polynomial = bothPaths(synthesis::polynomialKernel());
  const Signals worse = bothPaths(synthesis::kernelFor<WorseCosine<true>>());
  EXPECT_TRUE(sameBits(polynomial.fast, polynomial.libm));
  EXPECT_TRUE(sameBits(worse.fast, worse.libm));
  EXPECT_GT(worse.fallbacks, 100 * (polynomial.fallbacks + 1));
}

TEST(FastSynthesis, AWorseCosineThatHidesItsErrorIsCaught) {
  const Signals lying = bothPaths(synthesis::kernelFor<WorseCosine<false>>());
  EXPECT_FALSE(sameBits(lying.fast, lying.libm));
}

}  // namespace
