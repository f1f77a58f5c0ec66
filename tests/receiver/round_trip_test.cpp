// Credentials sent through the sender's signal and read back by the receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "decoder.h"
#include "recordings.h"

namespace sonicsend::testing {
namespace {

constexpr int kRandomCredentials = 500;

// Random text of `length` UTF-16 code units from one of four alphabets. Code units whose low
// byte is zero are left out: the sender stops sending at such a byte.
std::u16string randomText(std::mt19937& random, int alphabet, std::size_t length) {
  std::uniform_int_distribution<int> ascii(0x20, 0x7E);
  std::uniform_int_distribution<int> latin1(0x01, 0xFF);
  std::uniform_int_distribution<int> wide(0x0101, 0xFFFF);
  std::u16string text;
  while (text.size() < length) {
    int unit = 0;
    switch (alphabet) {
      case 0:
        unit = ascii(random);
        break;
      case 1:
        unit = latin1(random);
        break;
      default:
        unit = wide(random);
        break;
    }
    if ((unit & 0xFF) != 0 && (unit < 0xD800 || unit > 0xDFFF)) {
      text.push_back(static_cast<char16_t>(unit));
    }
  }
  return text;
}

struct Credentials {
  Layout layout;
  std::u16string ssid;
  std::u16string key;
};

Credentials randomCredentials(std::mt19937& random, int index) {
  const Layout layout = index % 4 == 3 ? Layout::bare : Layout::framed;
  const int limit = layout == Layout::framed ? kMaxFramedCredentialUnits : kMaxBareCredentialUnits;
  std::uniform_int_distribution<int> units(0, limit);
  // Every tenth pair fills the message to its limit; every tenth other one is empty.
  int total = units(random);
  if (index % 10 == 0) total = limit;
  if (index % 10 == 5) total = 0;
  const int ssidUnits = std::uniform_int_distribution<int>(0, std::min(total, 32))(random);
  const int alphabet = std::uniform_int_distribution<int>(0, 2)(random);
  return {layout, randomText(random, alphabet, static_cast<std::size_t>(ssidUnits)),
          randomText(random, alphabet, static_cast<std::size_t>(total - ssidUnits))};
}

// The receiver splits at the last separator; it can only be sure when there is one.
void expectCredentials(const Credentials& sent, const receiver::Message& heard) {
  const std::uint8_t separator = sent.layout == Layout::framed ? 0x1F : 0x0D;
  const std::string ssid = bytesOf(sent.ssid);
  const std::string key = bytesOf(sent.key);
  EXPECT_EQ(heard.layout, sent.layout == Layout::framed ? receiver::MessageLayout::framed
                                                        : receiver::MessageLayout::bare);
  EXPECT_EQ(heard.ssid + static_cast<char>(separator) + heard.key,
            ssid + static_cast<char>(separator) + key);
  const auto separators = std::count(ssid.begin(), ssid.end(), static_cast<char>(separator)) +
                          std::count(key.begin(), key.end(), static_cast<char>(separator)) + 1;
  EXPECT_EQ(heard.separators, separators);
  if (separators == 1 || key.find(static_cast<char>(separator)) == std::string::npos) {
    EXPECT_EQ(heard.ssid, ssid);
    EXPECT_EQ(heard.key, key);
  }
}

TEST(RoundTrip, RandomCredentialsFromAnywhereInTheLoop) {
  std::mt19937 random(20261206);
  for (int index = 0; index < kRandomCredentials; ++index) {
    const Credentials sent = randomCredentials(random, index);
    const auto pass = passOf(sent.layout, sent.ssid, sent.key);
    ASSERT_FALSE(pass.empty());
    // One pass and two frames from any offset hold every frame whole at least once, and the
    // last frame followed by the first, which tells where a bare message without a zero ends.
    const auto offset = std::uniform_int_distribution<std::size_t>(0, pass.size() - 1)(random);
    const auto recording = loop(pass, offset, pass.size() + 2 * kFrameSamples);
    const auto result = receiver::decode(recording, kSampleRate);
    ASSERT_TRUE(result.decoded) << "credentials " << index << ": "
                                << receiver::describe(result.failure);
    SCOPED_TRACE(index);
    expectCredentials(sent, result.decoded->message);
    EXPECT_EQ(result.decoded->frames, static_cast<int>(pass.size() / kFrameSamples));
  }
}

}  // namespace
}  // namespace sonicsend::testing
