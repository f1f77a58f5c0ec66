// Render stage: single-precision scale by 32767, truncation toward zero, two equal channels.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "encoder.h"

namespace {

std::array<std::uint8_t, 4> renderOne(float sample) {
  std::array<std::uint8_t, 4> frame{};
  const float samples[] = {sample};
  sonicsend::render(samples, frame);
  return frame;
}

TEST(Render, DocumentedValues) {
  EXPECT_EQ(renderOne(0.5f), (std::array<std::uint8_t, 4>{0xFF, 0x3F, 0xFF, 0x3F}));   // 16383
  EXPECT_EQ(renderOne(-0.5f), (std::array<std::uint8_t, 4>{0x01, 0xC0, 0x01, 0xC0}));  // -16383
  EXPECT_EQ(renderOne(0.00003f), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));           // truncated
  EXPECT_EQ(renderOne(0.85f), (std::array<std::uint8_t, 4>{0xCB, 0x6C, 0xCB, 0x6C}));  // 27851
}

TEST(Render, MultipliesInSinglePrecision) {
  // In some synthesised samples the float product truncates differently from a double one;
  // the PCM must follow the float product in every sample.
  const auto pass = sonicsend::encodePass(sonicsend::Layout::framed, u"abcdefgh", u"0123456789");
  ASSERT_TRUE(pass);
  int differing = 0;
  for (std::size_t i = 0; i < pass->samples.size(); ++i) {
    const float sample = pass->samples[i];
    const auto expected = static_cast<std::int16_t>(sample * 32767.0f);
    if (expected != static_cast<std::int16_t>(static_cast<double>(sample) * 32767.0)) ++differing;
    const auto rendered = static_cast<std::int16_t>(pass->pcm[4 * i] | (pass->pcm[4 * i + 1] << 8));
    ASSERT_EQ(rendered, expected) << "sample " << i;
  }
  EXPECT_GT(differing, 0) << "no sample tells the two products apart";
}

TEST(Render, ForeignSamplesOutsideTheRangeClamp) {
  EXPECT_EQ(renderOne(2.0f), (std::array<std::uint8_t, 4>{0xFF, 0x7F, 0xFF, 0x7F}));
  EXPECT_EQ(renderOne(-2.0f), (std::array<std::uint8_t, 4>{0x00, 0x80, 0x00, 0x80}));
}

}  // namespace
