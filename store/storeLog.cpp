#include "storeLog.h"

#include <cstdio>
#include <string>

namespace velarto::store {
namespace {

LogSink& sink() {
  static LogSink installed;
  return installed;
}

}  // namespace

void setLogSink(LogSink newSink) {
  sink() = std::move(newSink);
}

void logLine(LogLevel level, std::string_view text) {
  if (sink()) return sink()(level, text);
  const std::string line = std::string(text) + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace velarto::store
