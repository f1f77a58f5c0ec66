#include "quietAlsa.h"

#include <alsa/asoundlib.h>

#include <mutex>

namespace sonicsend::platform {
namespace {

void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void quietAlsaLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(ignoreAlsaMessage); });
}

}  // namespace sonicsend::platform
