// Where the sender library's diagnostic lines go: standard error unless the caller sets a sink.
// No line holds an SSID or a key.
#pragma once

#include <functional>
#include <string_view>

namespace sonicsend {

enum class LogLevel { info, warning, error };
using LogSink = std::function<void(LogLevel, std::string_view)>;

// Sends every later line to `sink`; an empty sink restores standard error. Lines come from the
// caller's thread and from the output queue's, one at a time.
void setLogSink(LogSink sink);

void logLine(LogLevel level, std::string_view text);

}  // namespace sonicsend
