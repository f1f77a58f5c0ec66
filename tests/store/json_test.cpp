// Converting between JSON text and values.
#include <gtest/gtest.h>

#include <string>

#include "ZKJson.h"

using ZKJson::toJsonString;
using ZKJson::toJsonValue;
using ZKJson::Value;

namespace {

std::string nested(int depth) {
  const auto count = static_cast<std::size_t>(depth);
  return std::string(count, '[') + std::string(count, ']');
}

}  // namespace

TEST(ToJsonString, WritesCompactTextInTheObjectsOwnOrder) {
  EXPECT_EQ(toJsonString(Value{{"HomeNet", ""}}), R"({"HomeNet":""})");
  EXPECT_EQ(toJsonString(Value::object()), "{}");
  EXPECT_EQ(toJsonString(Value::array()), "[]");

  Value value = Value::object();
  value["zeta"] = "a/b caf\xc3\xa9";
  value["alpha"] = Value::array({1, "two", nullptr, 2.5});
  value["mid"] = Value{{"b", true}, {"a", false}};
  EXPECT_EQ(toJsonString(value),
            "{\"zeta\":\"a/b caf\xc3\xa9\",\"alpha\":[1,\"two\",null,2.5],"
            "\"mid\":{\"b\":true,\"a\":false}}");
}

TEST(ToJsonString, RefusesWhatIsNotAnObjectOrArrayOfUtf8Text) {
  EXPECT_EQ(toJsonString(Value("HomeNet")), std::nullopt);
  EXPECT_EQ(toJsonString(Value(42)), std::nullopt);
  EXPECT_EQ(toJsonString(Value(nullptr)), std::nullopt);
  EXPECT_EQ(toJsonString(Value{{"HomeNet", "\xff"}}), std::nullopt);
  EXPECT_EQ(toJsonString(Value{{"Home\xc3", "key"}}), std::nullopt);
  EXPECT_EQ(toJsonString(Value::array({Value{{"a", "\xed\xa0\x80"}}})), std::nullopt);
}

TEST(ToJsonValue, AcceptsObjectsAndArraysInAnyLayout) {
  EXPECT_EQ(toJsonValue("{}"), Value::object());
  EXPECT_EQ(toJsonValue(" [ ]\n"), Value::array());

  const auto value =
      toJsonValue("\xef\xbb\xbf\n{ \"b\" : [ 1 , {\"c\":null} ] ,\r\n\t\"a\":\"x\" }\n");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, (Value{{"b", Value::array({1, Value{{"c", nullptr}}})}, {"a", "x"}}));
  EXPECT_EQ(value->begin().key(), "b") << "members keep the text's order";
}

TEST(ToJsonValue, RefusesTextThatIsNotAnObjectOrArray) {
  for (const char* text : {"", "   \n\t", "{\"HomeNet\":\"se", "{\"a\":1,}", "{\"a\":1} x",
                           "not json", "\"HomeNet\"", "42", "null", "true", "{'a':'b'}"}) {
    EXPECT_EQ(toJsonValue(text), std::nullopt) << text;
  }
  EXPECT_EQ(toJsonValue(std::string("{\"a\":\"b\"}\0", 10)), std::nullopt);
}

TEST(ToJsonValue, RefusesTextThatIsNotValidUnicode) {
  for (const char* text : {"{\"a\":\"\xff\"}", "{\"a\":\"\xc3\x28\"}", "{\"a\":\"\xc0\xaf\"}",
                           "{\"\xed\xa0\x80\":\"b\"}", "{\"a\":\"\\ud800\"}", "[\"\\udc00x\"]"}) {
    EXPECT_EQ(toJsonValue(text), std::nullopt) << text;
  }
  EXPECT_EQ(toJsonValue("[\"\\ud83d\\ude00\"]"), Value::array({"\xf0\x9f\x98\x80"}));
}

TEST(ToJsonValue, RefusesNestingBeyondTheLimit) {
  EXPECT_TRUE(toJsonValue(nested(ZKJson::kMaxDepth)).has_value());
  EXPECT_EQ(toJsonValue(nested(ZKJson::kMaxDepth + 1)), std::nullopt);
  EXPECT_EQ(toJsonValue("{\"a\":" + nested(ZKJson::kMaxDepth) + "}"), std::nullopt);
  EXPECT_EQ(toJsonValue(nested(1'000'000)), std::nullopt);
}

TEST(JsonText, ReadsBackWhatItWrote) {
  Value value = Value::object();
  value["HomeNet"] = "correct horse";
  value["\xe5\xae\xb6 \"quoted\" \\ \t"] = "\x01\x1f\xe2\x82\xac";
  value["numbers"] = Value::array({-1, 18446744073709551615u, 0.1, 1e300});
  value["nested"] = Value{{"deeper", Value{{"deepest", Value::array()}}}, {"empty", ""}};

  const auto text = toJsonString(value);
  ASSERT_TRUE(text.has_value());
  const auto readBack = toJsonValue(*text);
  ASSERT_TRUE(readBack.has_value());
  EXPECT_EQ(*readBack, value);
  EXPECT_EQ(toJsonString(*readBack), text);
}
