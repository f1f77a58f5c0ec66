#include "ZKJson.h"

#include <exception>

namespace ZKJson {

namespace {

bool isContainer(const Value& value) {
  return value.is_object() || value.is_array();
}

// The library's own tree builder, refusing containers nested deeper than kMaxDepth as they start,
// so that they are never built.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<Value> {
  using Builder = nlohmann::detail::json_sax_dom_parser<Value>;

 public:
  explicit DepthLimitedBuilder(Value& result) : Builder(result, /*allow_exceptions=*/false) {}
  bool start_object(std::size_t members) {
    return ++depth_ <= kMaxDepth && Builder::start_object(members);
  }
  bool start_array(std::size_t elements) {
    return ++depth_ <= kMaxDepth && Builder::start_array(elements);
  }
  bool end_object() {
    --depth_;
    return Builder::end_object();
  }
  bool end_array() {
    --depth_;
    return Builder::end_array();
  }

 private:
  int depth_ = 0;
};

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
  try {
    Value value;
    DepthLimitedBuilder builder(value);
    if (!Value::sax_parse(text, &builder) || builder.is_errored() || !isContainer(value)) {
      return std::nullopt;
    }
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace ZKJson
