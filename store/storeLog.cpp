#include "storeLog.h"

namespace velarto::store {
namespace {

sonicsend::LogChannel& storeLog() {
  static sonicsend::LogChannel channel;
  return channel;
}

}  // namespace

void setLogSink(LogSink sink) {
  storeLog().setSink(std::move(sink));
}

void logLine(LogLevel level, std::string_view text) {
  storeLog().line(level, text);
}

}  // namespace velarto::store
