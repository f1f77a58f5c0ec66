/* Builds a listener with the installed C API (C99), in a block sized by the header's constant,
 * and feeds it a second of silence: exits with 0 when it runs and hears nothing, and its check
 * names what keeps a block from serving. */
#include <listener.h>
#include <stdint.h>

static uint64_t state[SONICSEND_LISTENER_STATE_SIZE(16000) / sizeof(uint64_t)];

int main(void) {
  static int16_t silence[16000];
  if (sonicsendListenerCheck(state, sizeof state, 16000) != kSonicsendStateOk ||
      sonicsendListenerCheck(NULL, sizeof state, 16000) != kSonicsendStateNull ||
      sonicsendListenerCheck(state, sizeof state, 12345) != kSonicsendStateRate ||
      sonicsendListenerCheck(state, 1024, 16000) != kSonicsendStateSize ||
      sonicsendListenerCheck((char*)state + 4, sizeof state - 4, 16000) !=
          kSonicsendStateAlignment) {
    return 1;
  }
  SonicsendListener* listener = sonicsendListenerInit(state, sizeof state, 16000);
  if (listener == NULL || sonicsendListenerStateSize(16000) > sizeof state) return 1;
  for (size_t at = 0; at < 16000; at += 256) {
    sonicsendListenerPushS16(listener, silence + at, 16000 - at < 256 ? 16000 - at : 256);
    if (sonicsendListenerPoll(listener)) return 1;
  }
  SonicsendHeard heard;
  return sonicsendListenerResult(listener, &heard) == 0 && sonicsendListenerStateSize(12345) == 0 &&
                 sonicsendListenerDropped(listener) == 0
             ? 0
             : 1;
}
