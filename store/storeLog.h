// Where the store's diagnostic lines go: standard error unless the application sets a sink.
// No line holds a stored key.
#pragma once

#include <string_view>

#include "LogChannel.h"

namespace velarto::store {

// The store logs at the levels info and warning.
using LogLevel = sonicsend::LogLevel;
using LogSink = sonicsend::LogSink;

// Sends every later line to `sink`; an empty sink restores standard error.
void setLogSink(LogSink sink);

void logLine(LogLevel level, std::string_view text);

}  // namespace velarto::store
