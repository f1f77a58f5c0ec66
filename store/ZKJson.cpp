#include "ZKJson.h"

#include <exception>

namespace ZKJson {

namespace {

bool isContainer(const Value& value) {
  return value.is_object() || value.is_array();
}

}  // namespace

std::optional<std::string> toJsonString(const Value& value) {
  if (!isContainer(value)) return std::nullopt;
  try {
    // The strict error handler refuses strings that are not valid UTF-8.
    return value.dump(-1, ' ', false, Value::error_handler_t::strict);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<Value> toJsonValue(std::string_view text) {
  // The parser takes a NUL byte for the end of the text, but JSON text never holds one: a text
  // with anything after it, even more NULs, is not valid.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  bool tooDeep = false;
  // Containers past the depth limit are discarded as they start, so they are never built.
  const Value::parser_callback_t limitDepth = [&tooDeep](int depth, Value::parse_event_t event,
                                                         Value&) {
    const bool opens =
        event == Value::parse_event_t::object_start || event == Value::parse_event_t::array_start;
    if (opens && depth >= kMaxDepth) tooDeep = true;
    return !tooDeep;
  };
  try {
    Value value = Value::parse(text, limitDepth, /*allow_exceptions=*/false);
    if (tooDeep || !isContainer(value)) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace ZKJson
