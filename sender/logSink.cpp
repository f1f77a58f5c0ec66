#include "logSink.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace sonicsend {
namespace {

std::mutex sinkMutex;
LogSink installedSink;  // guarded by sinkMutex

}  // namespace

void setLogSink(LogSink sink) {
  std::scoped_lock lock(sinkMutex);
  installedSink = std::move(sink);
}

void logLine(LogLevel level, std::string_view text) {
  std::scoped_lock lock(sinkMutex);
  if (installedSink) return installedSink(level, text);
  const std::string line = std::string(text) + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace sonicsend
