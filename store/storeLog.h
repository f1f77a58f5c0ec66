// Where the store's diagnostic lines go: standard error unless the application sets a sink.
// No line holds a stored key.
#pragma once

#include <functional>
#include <string_view>

namespace velarto::store {

enum class LogLevel { info, warning };
using LogSink = std::function<void(LogLevel, std::string_view)>;

// Sends every later line to `sink`; an empty sink restores standard error. Set it before the
// store is used.
void setLogSink(LogSink sink);

void logLine(LogLevel level, std::string_view text);

}  // namespace velarto::store
