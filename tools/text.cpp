#include "text.h"

#include <utf8.h>
#include <iterator>

namespace sonicsend::cli {

std::optional<std::u16string> toUtf16(std::string_view utf8) {
  if (!utf8::is_valid(utf8.begin(), utf8.end())) return std::nullopt;
  std::u16string utf16;
  utf8::unchecked::utf8to16(utf8.begin(), utf8.end(), std::back_inserter(utf16));
  return utf16;
}

}  // namespace sonicsend::cli
