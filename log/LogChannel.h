// Where one component's diagnostic lines go: standard error unless the caller sets a sink. Each
// component keeps its own channel, so that a line keeps the component it came from.
#pragma once

#include <functional>
#include <mutex>
#include <string_view>

namespace sonicsend {

enum class LogLevel { info, warning, error };
using LogSink = std::function<void(LogLevel, std::string_view)>;

class LogChannel {
 public:
  // Sends every later line to `sink`; an empty sink restores standard error.
  void setSink(LogSink sink);
  // Lines may come from several threads; they go out one at a time.
  void line(LogLevel level, std::string_view text);

 private:
  std::mutex mutex_;
  LogSink sink_;  // guarded by mutex_
};

}  // namespace sonicsend
