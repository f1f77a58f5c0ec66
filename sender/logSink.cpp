#include "logSink.h"

namespace sonicsend {
namespace {

LogChannel& senderLog() {
  static LogChannel channel;
  return channel;
}

}  // namespace

void setLogSink(LogSink sink) {
  senderLog().setSink(std::move(sink));
}

void logLine(LogLevel level, std::string_view text) {
  senderLog().line(level, text);
}

}  // namespace sonicsend
