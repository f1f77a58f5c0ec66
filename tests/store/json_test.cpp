// Converting between JSON text and values.
#include <gtest/gtest.h>

#include <string>

#include "ZKJson.h"

using ZKJson::toJsonString;
using ZKJson::toJsonValue;
using ZKJson::Value;

TEST(ZKJson, WritesCompactTextInTheObjectsOwnOrderAndReadsItBack) {
  EXPECT_EQ(toJsonString(Value{{"HomeNet", ""}}), R"({"HomeNet":""})");
  EXPECT_EQ(toJsonString(Value::object()), "{}");
  const Value value = {{"zeta", "a/b \xe5\xae\xb6 \"q\" \\ \x01"},
                       {"alpha", {1, "two", nullptr, 0.1, 18446744073709551615u}},
                       {"mid", {{"b", true}, {"a", Value::object()}}}};
  const auto text = toJsonString(value);
  EXPECT_EQ(text,
            "{\"zeta\":\"a/b \xe5\xae\xb6 \\\"q\\\" \\\\ \\u0001\",\"alpha\":[1,\"two\",null,"
            "0.1,18446744073709551615],\"mid\":{\"b\":true,\"a\":{}}}");
  EXPECT_EQ(toJsonValue(text.value_or("")), value);
}

TEST(ZKJson, WritesNothingButObjectsAndArraysOfUtf8Text) {
  for (const Value& value : {Value("HomeNet"), Value(42), Value(nullptr), Value{{"a", "\xff"}},
                             Value{{"\xc3", "b"}}, Value::array({"\xed\xa0\x80"})}) {
    EXPECT_EQ(toJsonString(value), std::nullopt) << value.type_name();
  }
}

TEST(ZKJson, ReadsObjectsAndArraysInAnyLayout) {
  EXPECT_EQ(toJsonValue("{}"), Value::object());
  EXPECT_EQ(toJsonValue(" [ ]\n"), Value::array());
  const auto value =
      toJsonValue("\xef\xbb\xbf{ \"b\" : [ 1 , {\"c\":null} ] ,\r\n\t\"a\":\"\\u00e9\" }");
  EXPECT_EQ(value, (Value{{"b", {1, {{"c", nullptr}}}}, {"a", "\xc3\xa9"}}));
  EXPECT_EQ(value.value_or(Value()).begin().key(), "b") << "members keep the text's order";
}

TEST(ZKJson, ReadsNothingButObjectsAndArraysOfValidUnicodeNestedWithinTheLimit) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_TRUE(toJsonValue(nested(ZKJson::kMaxDepth)).has_value());
  for (const std::string& text : std::initializer_list<std::string>{
           "", "  \n\t", "{\"HomeNet\":\"se", "{\"a\":1,}", "{\"a\":1} x", "not json",
           "\"HomeNet\"", "42", "null", "{'a':'b'}", std::string("{}\0", 3), "{\"a\":\"\xff\"}",
           "{\"a\":\"\xc0\xaf\"}", "{\"\xed\xa0\x80\":1}", "[\"\\ud800\"]", "[\"\\udc00x\"]",
           nested(ZKJson::kMaxDepth + 1), "{\"a\":" + nested(ZKJson::kMaxDepth) + "}",
           nested(1'000'000)}) {
    EXPECT_EQ(toJsonValue(text), std::nullopt) << text.substr(0, 40);
  }
}
