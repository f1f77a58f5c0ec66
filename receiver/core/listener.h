/* The listening core for devices, from C (C99) or C++: fixed memory in one block the caller
 * provides, no heap, no exceptions.
 *
 *   static uint8_t state[SONICSEND_LISTENER_STATE_SIZE(16000)] __attribute__((aligned(8)));
 *   SonicsendListener* listener =
 *       sonicsendListenerInit(state, sizeof state, 16000);   // NULL: Check says why
 *   // DMA-complete interrupt:  sonicsendListenerPushS16(listener, block, 256);
 *   // main loop:
 *   if (sonicsendListenerPoll(listener)) {
 *     SonicsendHeard heard;
 *     sonicsendListenerResult(listener, &heard);              // join heard.ssid, heard.key
 *   }
 *
 * The state block: at least sonicsendListenerStateSize(rate) bytes (the constant
 * SONICSEND_LISTENER_STATE_SIZE(rate) is enough), its address a multiple of 8 on every target
 * (the strictest alignment the state needs anywhere, a pointer's on a 64-bit host; what
 * aligned(8), malloc and an array of uint64_t give), kept in place and used for nothing else
 * while the listener lives.
 *
 * Threads: PushS16 and PushF32 may run in an interrupt (or another thread) while Poll runs
 * in the main loop: one producer, one consumer, no lock. Every other call runs in the main
 * loop, with no push running during Init and Reset.
 *
 * Every call takes a listener Init returned. A NULL listener, NULL samples or a NULL result is
 * safe: the call does nothing and returns 0. */
#ifndef SONICSEND_LISTENER_H
#define SONICSEND_LISTENER_H

#include <stddef.h>
#include <stdint.h>

/* The project's version, major * 10000 + minor * 100 + patch: 0.1.0. */
#define SONICSEND_LISTENER_VERSION 100

/* Bytes of state at a constant rate, for a static array: at least sonicsendListenerStateSize
 * on every target (the core checks it as it is built); 0 for a rate the listener does not read.
 * 16 kHz takes 48 KiB. */
#define SONICSEND_LISTENER_STATE_SIZE(rate) \
  ((rate) == 8000    ? 46400u               \
   : (rate) == 16000 ? 49152u               \
   : (rate) == 22050 ? 53776u               \
   : (rate) == 44100 ? 63904u               \
   : (rate) == 48000 ? 64256u               \
                     : 0u)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SonicsendListener SonicsendListener;

typedef enum SonicsendLayout {
  kSonicsendFramed = 0, /* header, SSID, 0x1F, key, checksum */
  kSonicsendBare = 1    /* SSID, 0x0D, key */
} SonicsendLayout;

/* A message heard. SSID and key are bytes, one per UTF-16 code unit the sender was given (its
 * low 8 bits), not NUL-terminated; they point into the listener's state. */
typedef struct SonicsendHeard {
  const uint8_t* ssid;
  size_t ssidLength;
  const uint8_t* key;
  size_t keyLength;
  SonicsendLayout layout;
  int frames; /* frames per pass of the loop */
  /* Passes heard: the passes of the loop the message was read from, 1 where one copy of each
   * frame sufficed, more where copies had to be added up; silence or noise before the signal
   * never counts. */
  int passes;
} SonicsendHeard;

/* What Init makes of a block, checked in this order. */
typedef enum SonicsendStateCheck {
  kSonicsendStateOk = 0,
  kSonicsendStateNull = 1,     /* the block is NULL */
  kSonicsendStateRate = 2,     /* not a rate the listener reads: StateSize gives 0 */
  kSonicsendStateSize = 3,     /* fewer bytes than StateSize */
  kSonicsendStateAlignment = 4 /* its address is not a multiple of 8 */
} SonicsendStateCheck;

/* Bytes of state for a sample rate: 8000, 16000, 22050, 44100 or 48000 Hz; 0 for any other. */
size_t sonicsendListenerStateSize(int sampleRate);
/* Why Init would refuse `state`, or kSonicsendStateOk; touches nothing. */
SonicsendStateCheck sonicsendListenerCheck(const void* state, size_t size, int sampleRate);
/* Builds the listener in `state`; NULL unless Check gives kSonicsendStateOk. */
SonicsendListener* sonicsendListenerInit(void* state, size_t size, int sampleRate);
/* Interrupt-safe: hands `count` mono samples over. Floats are -1 ... 1. */
void sonicsendListenerPushS16(SonicsendListener* listener, const int16_t* samples, size_t count);
void sonicsendListenerPushF32(SonicsendListener* listener, const float* samples, size_t count);
/* Reads what was pushed and searches a bounded step further: 1 once a message was heard. */
int sonicsendListenerPoll(SonicsendListener* listener);
/* 1 and fills `heard` once a message was heard; else 0. */
int sonicsendListenerResult(const SonicsendListener* listener, SonicsendHeard* heard);
/* Samples lost because Poll fell behind by more than the ring inside the state holds: 1 024
 * samples at 8 kHz, 2 048 at 16 kHz, 4 096 at 22.05 kHz, 8 192 at 44.1 and 48 kHz (an eighth
 * of a second or a little more). */
uint32_t sonicsendListenerDropped(const SonicsendListener* listener);
/* Forgets everything heard and starts over. */
void sonicsendListenerReset(SonicsendListener* listener);

#ifdef __cplusplus
}
#endif

#endif
