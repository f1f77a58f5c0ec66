// Message layouts: what the listening device parses, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "encoder.h"

using sonicsend::buildMessage;
using sonicsend::Layout;
using sonicsend::MessageBuffer;

namespace {

std::vector<std::uint8_t> bytesBeforeZero(const MessageBuffer& message) {
  return {message.begin(), message.begin() + sonicsend::messageLength(message)};
}

// Each row: the credentials and the bytes the listening device parses before the first zero.
TEST(Message, BuildsTheDocumentedBytesFollowedByZeros) {
  const struct {
    const char* name;
    Layout layout;
    std::u16string ssid, key;
    std::vector<std::uint8_t> expected;
  } rows[] = {
      {"framed", Layout::framed, u"ab", u"", {0x83, 0x61, 0x62, 0x1F, 0x62}},
      {"sum 0x80: bit 5 forced", Layout::framed, u"a", u"", {0x82, 0x61, 0x1F, 0x20}},
      {"framed empty", Layout::framed, u"", u"", {0x81, 0x1F, 0x3F}},
      {"framed Latin-1", Layout::framed, u"\u00E9", u"", {0x82, 0xE9, 0x1F, 0x28}},
      {"framed with a key", Layout::framed, u"ab", u"k", {0x84, 0x61, 0x62, 0x1F, 0x6B, 0x6D}},
      {"bare", Layout::bare, u"ab", u"", {0x61, 0x62, 0x0D}},
      {"bare empty", Layout::bare, u"", u"", {0x0D}},
      {"bare with a key", Layout::bare, u"ab", u"xy", {0x61, 0x62, 0x0D, 0x78, 0x79}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto message = buildMessage(row.layout, row.ssid, row.key);
    ASSERT_TRUE(message);
    EXPECT_EQ(bytesBeforeZero(*message), row.expected);
    EXPECT_TRUE(std::all_of(message->begin() + static_cast<long>(row.expected.size()),
                            message->end(), [](std::uint8_t byte) { return byte == 0; }));
  }
}

TEST(Message, KeepsOnlyTheLowByteOfEachCodeUnit) {
  // U+4E2D loses its high byte; U+011F becomes an unescaped 0x1F beside the real separator;
  // a character outside the BMP gives one byte per surrogate (D83D DE01).
  const auto message = buildMessage(Layout::framed, u"\u4E2D\u011F", u"\U0001F601");
  ASSERT_TRUE(message);
  EXPECT_EQ(bytesBeforeZero(*message),
            (std::vector<std::uint8_t>{0x85, 0x2D, 0x1F, 0x1F, 0x3D, 0x01, 0x29}));
}

TEST(Message, NamesTheFirstUnitThatWouldArriveChanged) {
  EXPECT_EQ(sonicsend::firstUnitNotCarried(u""), std::nullopt);
  EXPECT_EQ(sonicsend::firstUnitNotCarried(u"Caf\u00E9 \u00FF"), std::nullopt);  // Latin-1 intact
  EXPECT_EQ(sonicsend::firstUnitNotCarried(u"ab\u0100\u4E2D"), 2u);
  EXPECT_EQ(sonicsend::firstUnitNotCarried(u"x\U0001F601"), 1u);  // the high surrogate
}

// The low byte decides: U+011F ends a framed SSID as 0x1F does, U+0100 ends the message.
TEST(Message, NamesTheFirstUnitAReceiverCannotSplitBack) {
  using sonicsend::firstUnitNotSplitBack;
  EXPECT_EQ(firstUnitNotSplitBack(Layout::framed, u"Home\rNet\u00FF"), std::nullopt);
  EXPECT_EQ(firstUnitNotSplitBack(Layout::framed, u"ab\u011F\u001F"), 2u);
  EXPECT_EQ(firstUnitNotSplitBack(Layout::bare, u"a\u001Fb\u010D"), 3u);
  EXPECT_EQ(firstUnitNotSplitBack(Layout::bare, u"ab\u0100"), 2u);
  EXPECT_EQ(sonicsend::firstControlCharacter(u"~ \u0080\u00A0\u011F"), std::nullopt);
  EXPECT_EQ(sonicsend::firstControlCharacter(u"a\u007F\u0000"), 1u);
  EXPECT_EQ(sonicsend::firstControlCharacter(u"ab\u001F"), 2u);
}

TEST(Message, RefusesCredentialsBeyondTheLimit) {
  const std::u16string ssid(32, u'S');
  const auto longest = buildMessage(Layout::framed, ssid, std::u16string(61, u'k'));
  ASSERT_TRUE(longest);
  EXPECT_EQ(sonicsend::messageLength(*longest), 96);  // twelve whole frames
  EXPECT_FALSE(buildMessage(Layout::framed, ssid, std::u16string(62, u'k')));
  EXPECT_TRUE(buildMessage(Layout::bare, ssid, std::u16string(63, u'k')));
  EXPECT_FALSE(buildMessage(Layout::bare, ssid, std::u16string(64, u'k')));
  EXPECT_FALSE(buildMessage(Layout::framed, std::u16string(5000, u'S'), u""));
}

}  // namespace
