// Conversions between JSON text and JSON values, for the stored keys file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "OrderedHashMap.h"

namespace ZKJson {

// A JSON value tree; objects keep their members in insertion order and find them by hash.
using Value = nlohmann::basic_json<OrderedHashMap>;

// Containers nested deeper than this are refused: copying and writing values recurse once per
// level, and a hostile file must not be able to exhaust the stack.
inline constexpr int kMaxDepth = 512;

// The compact JSON text of an object or an array (no blanks or line breaks, members in their own
// order, text outside ASCII as UTF-8), or none for any other value or one holding text that is not
// valid UTF-8.
std::optional<std::string> toJsonString(const Value& value);

// The value of a JSON text whose top level is an object or an array, or none for anything else:
// empty or cut-short text, text that is not JSON or not UTF-8, a lone string or number, or
// containers nested deeper than kMaxDepth.
std::optional<Value> toJsonValue(std::string_view text);

}  // namespace ZKJson
