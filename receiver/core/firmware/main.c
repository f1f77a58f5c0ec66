/* The listening core on a Cortex-M4F: reads a raw mono 16-bit recording from the host, hands it
 * to the listener in blocks of 256 samples as a DMA-complete interrupt would, polls after each,
 * then, as a device goes on listening, up to ten seconds of silence, and prints one JSON line:
 * what was heard, the instructions spent in push and poll per second of audio, the listener's
 * state and the stack it used.
 *   qemu-system-arm ... -semihosting-config enable=on,target=native,arg=fw.elf,arg=RATE,arg=FILE
 * Under -icount shift=0 the SysTick timer on the processor clock counts one tick per 40
 * instructions. */
#include <stdint.h>

#include "listener.h"
#include "semihosting.h"

#define SYST_CSR (*(volatile uint32_t*)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t*)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t*)0xE000E018u)

enum {
  kBlockSamples = 256,
  kInstructionsPerTick = 40,
  kTickMask = 0xFFFFFF,
  kPaint = 0x5AA5F00Du,
  kTailSeconds = 10,
};

extern uint32_t stackBottom;
static uint8_t state[96 * 1024] __attribute__((aligned(8)));
static char line[1024];
static size_t lineLength;

void sysTickHandler(void) {}

static uint32_t ticksNow(void) {
  return SYST_CVR;
}
/* SysTick counts down; one call lasts far less than its 2^24-tick wrap. */
static uint32_t ticksSince(uint32_t start) {
  return (start - SYST_CVR) & kTickMask;
}

static void append(const char* text) {
  while (*text != '\0' && lineLength + 1 < sizeof line) line[lineLength++] = *text++;
  line[lineLength] = '\0';
}

static void appendNumber(uint64_t value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char text[24];
  for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  text[count] = '\0';
  append(text);
}

/* A JSON string of bytes, each the character U+0000 ... U+00FF, as the command line writes it. */
static void appendText(const uint8_t* bytes, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  append("\"");
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = bytes[i];
    char text[8] = {0};
    if (byte == '"' || byte == '\\') {
      text[0] = '\\';
      text[1] = (char)byte;
    } else if (byte < 0x20) {
      const char* shortForms = "\b\t\n\f\r";
      const char* names = "btnfr";
      int found = -1;
      for (int s = 0; s < 5; ++s) found = shortForms[s] == (char)byte ? s : found;
      if (found >= 0) {
        text[0] = '\\';
        text[1] = names[found];
      } else {
        const char escaped[7] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15], 0};
        for (int c = 0; c < 7; ++c) text[c] = escaped[c];
      }
    } else if (byte < 0x80) {
      text[0] = (char)byte;
    } else {
      text[0] = (char)(0xC0 | (byte >> 6));
      text[1] = (char)(0x80 | (byte & 0x3F));
    }
    append(text);
  }
  append("\"");
}

/* The words of the command line: the firmware's name, the rate, the recording. */
static const char* word(const char* text, int index, char* out, size_t size) {
  for (int i = 0; i <= index; ++i) {
    while (*text == ' ') ++text;
    size_t length = 0;
    while (text[length] != ' ' && text[length] != '\0') ++length;
    if (i == index) {
      if (length == 0 || length >= size) return 0;
      for (size_t c = 0; c < length; ++c) out[c] = text[c];
      out[length] = '\0';
      return out;
    }
    text += length;
  }
  return 0;
}

static int numberOf(const char* text) {
  int value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10 + (*text++ - '0');
  return value;
}

/* Instructions spent in the listener's calls, and the audio they were given. */
struct Cost {
  uint64_t ticks;
  uint64_t samples;
  uint32_t largestPoll;
};

/* Hands one block over as a DMA-complete interrupt would, then polls as the main loop would. */
static int feed(SonicsendListener* listener, const int16_t* block, size_t count,
                struct Cost* cost) {
  uint32_t start = ticksNow();
  sonicsendListenerPushS16(listener, block, count);
  cost->ticks += ticksSince(start);
  start = ticksNow();
  const int heard = sonicsendListenerPoll(listener);
  const uint32_t poll = ticksSince(start);
  cost->ticks += poll;
  cost->largestPoll = poll > cost->largestPoll ? poll : cost->largestPoll;
  cost->samples += count;
  return heard;
}

int main(void) {
  char rateWord[16];
  char path[400];
  const char* commandLine = semihostingCommandLine();
  if (!word(commandLine, 1, rateWord, sizeof rateWord) ||
      !word(commandLine, 2, path, sizeof path)) {
    semihostingWrite("usage: fw.elf RATE FILE\n");
    return 2;
  }
  const int rate = numberOf(rateWord);
  const size_t stateBytes = sonicsendListenerStateSize(rate);
  SonicsendListener* listener = sonicsendListenerInit(state, sizeof state, rate);
  if (listener == 0) {
    static const char* const kWhy[] = {"", "no state\n", "the listener does not read this rate\n",
                                       "the state is too small for this rate\n",
                                       "the state is not aligned to 8 bytes\n"};
    semihostingWrite(kWhy[sonicsendListenerCheck(state, sizeof state, rate)]);
    return 2;
  }
  const int file = semihostingOpen(path);
  if (file < 0) {
    semihostingWrite("cannot open the recording\n");
    return 2;
  }
  SYST_RVR = kTickMask;
  SYST_CVR = 0;
  SYST_CSR = 0x5; /* enabled, processor clock, no interrupt */

  /* Paints the free stack below this frame; what the listener's calls overwrite is its stack. */
  uintptr_t stackPointer;
  __asm volatile("mov %0, sp" : "=r"(stackPointer));
  uint32_t* top = (uint32_t*)(stackPointer & ~(uintptr_t)7) - 16;
  for (uint32_t* at = &stackBottom; at < top; ++at) *at = kPaint;

  static int16_t block[kBlockSamples];
  struct Cost cost = {0, 0, 0};
  int heard = 0;
  size_t bytes;
  while (!heard && (bytes = semihostingRead(file, block, sizeof block)) >= sizeof(int16_t)) {
    heard = feed(listener, block, bytes / sizeof(int16_t), &cost);
  }
  semihostingClose(file);
  /* A device goes on listening: some seconds of silence let the last search, and in a room the
   * room model's last reading, finish. */
  for (int i = 0; i < kBlockSamples; ++i) block[i] = 0;
  for (int tail = 0; tail < rate * kTailSeconds && !heard; tail += kBlockSamples) {
    heard = feed(listener, block, kBlockSamples, &cost);
  }
  uint32_t* lowest = &stackBottom;
  while (lowest < top && *lowest == kPaint) ++lowest;

  SonicsendHeard message;
  const int got = sonicsendListenerResult(listener, &message);
  append("{\"ssid\":");
  if (got)
    appendText(message.ssid, message.ssidLength);
  else
    append("null");
  append(",\"key\":");
  if (got)
    appendText(message.key, message.keyLength);
  else
    append("null");
  append(",\"instructions_per_second\":");
  appendNumber(
      cost.samples == 0 ? 0 : cost.ticks * kInstructionsPerTick * (uint64_t)rate / cost.samples);
  append(",\"ram_bytes\":");
  appendNumber(stateBytes);
  append(",\"stack_bytes\":");
  appendNumber((uintptr_t)top - (uintptr_t)lowest);
  append(",\"largest_poll_instructions\":");
  appendNumber((uint64_t)cost.largestPoll * kInstructionsPerTick);
  append(",\"layout\":");
  append(!got ? "null" : message.layout == kSonicsendBare ? "\"bare\"" : "\"framed\"");
  append(",\"frames\":");
  appendNumber(got ? (uint64_t)message.frames : 0);
  append(",\"passes\":");
  appendNumber(got ? (uint64_t)message.passes : 0);
  append(",\"seconds\":");
  appendNumber(cost.samples / (uint64_t)rate);
  append("}\n");
  semihostingWrite(line);
  return got ? 0 : 1;
}
