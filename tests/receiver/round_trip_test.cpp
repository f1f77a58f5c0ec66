#include <gtest/gtest.h>

#include "decoder.h"
#include "recordings.h"

namespace sonicsend::testing {
namespace {

TEST(Smoke, Decodes) {
  const auto pass = passOf(Layout::framed, u"abcdefgh", u"");
  const auto rec = loop(pass, 12345, pass.size() * 3);
  const auto result = receiver::decode(rec, 44100);
  ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
  EXPECT_EQ(result.decoded->message.ssid, "abcdefgh");
  EXPECT_EQ(result.decoded->message.key, "");
  EXPECT_EQ(result.decoded->frames, 2);
  EXPECT_EQ(result.decoded->passes, 3);
}

}  // namespace
}  // namespace sonicsend::testing
