#include "LogChannel.h"

#include <cstdio>
#include <string>

namespace sonicsend {

void LogChannel::setSink(LogSink sink) {
  std::scoped_lock lock(mutex_);
  sink_ = std::move(sink);
}

void LogChannel::line(LogLevel level, std::string_view text) {
  std::scoped_lock lock(mutex_);
  if (sink_) return sink_(level, text);
  const std::string line = std::string(text) + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace sonicsend
