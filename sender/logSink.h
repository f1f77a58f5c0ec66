// Where the sender library's diagnostic lines go: standard error unless the caller sets a sink.
// No line holds an SSID or a key.
#pragma once

#include <string_view>

#include "LogChannel.h"

namespace sonicsend {

// Sends every later line to `sink`; an empty sink restores standard error. Lines come from the
// caller's thread and from the output queue's, one at a time.
void setLogSink(LogSink sink);

void logLine(LogLevel level, std::string_view text);

}  // namespace sonicsend
