// Command-line arguments arrive as UTF-8; the sender reads UTF-16 code units.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sonicsend::cli {

// nullopt when `utf8` is not valid UTF-8.
std::optional<std::u16string> toUtf16(std::string_view utf8);

}  // namespace sonicsend::cli
