/* The listening core on a Cortex-M (an M4F, or an M0+ as an M3 runs it): reads a raw mono
 * 16-bit recording from the host, hands it to the listener in blocks of 256 samples as a
 * DMA-complete interrupt would, polls after each, then, as a device goes on listening, up to
 * ten seconds of silence, and prints one JSON line: what was heard, the instructions spent in
 * push and poll per second of audio, the largest poll, the samples dropped, the listener's
 * state and the stack it used.
 *   qemu-system-arm ... -semihosting-config enable=on,target=native,arg=fw.elf,arg=RATE,arg=FILE
 * Given a fourth word, EVERY, a timer interrupt pushes each block instead, one every EVERY
 * instructions, the recording and then silence for as long as the run lasts, while the main loop
 * only polls, until the recording has all been pushed; a poll's instructions are then its own,
 * without the interrupt's. Audio faster than the core reads it shows that each poll returns: a
 * poll still running after 100 M instructions ends the run (status 2).
 * The board (board.h) counts the instructions, exactly under -icount shift=0. */
#include <stdint.h>

#include "board.h"
#ifdef SONICSEND_VENDORED
#include "sonicsend_listener.h"
#else
#include "listener.h"
#endif
#include "semihosting.h"

enum {
  kBlockSamples = 256,
  kPaint = 0x5AA5F00Du,
  kTailSeconds = 10,
  kHungPollInstructions = 100000000,
};

extern uint32_t stackBottom;
static uint8_t state[96 * 1024] __attribute__((aligned(8)));
static char line[1024];
static size_t lineLength;

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

static void notePoll(struct Cost* cost, uint32_t ticks) {
  cost->ticks += ticks;
  cost->largestPoll = ticks > cost->largestPoll ? ticks : cost->largestPoll;
}

/* Hands one block over as a DMA-complete interrupt would, then polls as the main loop would. */
static int feed(SonicsendListener* listener, const int16_t* block, size_t count,
                struct Cost* cost) {
  uint32_t start = boardTicks();
  sonicsendListenerPushS16(listener, block, count);
  cost->ticks += boardTicksSince(start);
  start = boardTicks();
  const int heard = sonicsendListenerPoll(listener);
  notePoll(cost, boardTicksSince(start));
  cost->samples += count;
  return heard;
}

/* Feeds the recording, then up to ten seconds of silence, a block and a poll in turn. */
static void feedInTurn(SonicsendListener* listener, int file, int rate, struct Cost* cost) {
  static int16_t block[kBlockSamples];
  int heard = 0;
  size_t bytes;
  while (!heard && (bytes = semihostingRead(file, block, sizeof block)) >= sizeof(int16_t)) {
    heard = feed(listener, block, bytes / sizeof(int16_t), cost);
  }
  /* A device goes on listening: some seconds of silence let the last search, and in a room the
   * room model's last reading, finish. */
  for (int i = 0; i < kBlockSamples; ++i) block[i] = 0;
  for (int tail = 0; tail < rate * kTailSeconds && !heard; tail += kBlockSamples) {
    heard = feed(listener, block, kBlockSamples, cost);
  }
}

/* What the timer's interrupt shares with the main loop. The 64-bit counts are the interrupt's
 * alone until the timer stops. */
static struct {
  SonicsendListener* listener;
  int file;
  volatile int recordingPushed;
  volatile uint32_t ticks; /* spent in the interrupt, all told */
  volatile int polling;
  volatile uint32_t pollStart;
  uint64_t pushTicks;
  uint64_t samples;
} timed;

/* Pushes the next block of the recording, or of silence once it is all pushed, and ends a run
 * whose poll does not return. */
void boardTimerTick(void) {
  const uint32_t start = boardTicks();
  static int16_t block[kBlockSamples];
  static const int16_t silence[kBlockSamples];
  const int16_t* samples = silence;
  if (!timed.recordingPushed) {
    const size_t bytes = semihostingRead(timed.file, block, sizeof block);
    for (size_t i = bytes / sizeof(int16_t); i < kBlockSamples; ++i) block[i] = 0;
    timed.recordingPushed = bytes < sizeof block;
    samples = block;
  }
  const uint32_t pushStart = boardTicks();
  sonicsendListenerPushS16(timed.listener, samples, kBlockSamples);
  timed.pushTicks += boardTicksSince(pushStart);
  timed.samples += kBlockSamples;
  if (timed.polling &&
      boardTicksSince(timed.pollStart) > kHungPollInstructions / kBoardInstructionsPerTick) {
    semihostingWrite("a poll did not return within 100 M instructions\n");
    semihostingExit(2);
  }
  timed.ticks += boardTicksSince(start);
}

/* One poll, its instructions without those of the interrupts that came meanwhile. */
static void pollOnItsOwn(SonicsendListener* listener, struct Cost* cost) {
  const uint32_t start = boardTicks();
  const uint32_t interruptsBefore = timed.ticks;
  timed.pollStart = start;
  timed.polling = 1;
  sonicsendListenerPoll(listener);
  timed.polling = 0;
  const uint32_t interrupts = timed.ticks - interruptsBefore;
  notePoll(cost, boardTicksSince(start) - interrupts);
}

/* The timer pushes a block every `every` instructions while the main loop polls, until the
 * recording is all pushed; a last poll, the timer stopped, reads what the ring still holds. */
static void pollWhileTimerPushes(SonicsendListener* listener, int file, uint32_t every,
                                 struct Cost* cost) {
  timed.listener = listener;
  timed.file = file;
  if (!boardStartTimer(every / kBoardInstructionsPerTick)) {
    semihostingWrite("this board has no timer interrupt to push the audio\n");
    semihostingExit(2);
  }
  for (int last = 0; !last;) {
    last = timed.recordingPushed;
    if (last) boardStopTimer();
    pollOnItsOwn(listener, cost);
  }
  cost->ticks += timed.pushTicks;
  cost->samples += timed.samples;
}

int main(void) {
  char rateWord[16];
  char path[400];
  char everyWord[16];
  const char* commandLine = semihostingCommandLine();
  if (!word(commandLine, 1, rateWord, sizeof rateWord) ||
      !word(commandLine, 2, path, sizeof path)) {
    semihostingWrite("usage: fw.elf RATE FILE [EVERY]\n");
    return 2;
  }
  const int rate = numberOf(rateWord);
  const int every = word(commandLine, 3, everyWord, sizeof everyWord) ? numberOf(everyWord) : 0;
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
  boardStartCounter();

  /* Paints the free stack below this frame; what the listener's calls overwrite is its stack. */
  uint32_t* top = (uint32_t*)(boardStackPointer() & ~(uintptr_t)7) - 16;
  for (uint32_t* at = &stackBottom; at < top; ++at) *at = kPaint;

  struct Cost cost = {0, 0, 0};
  if (every > 0)
    pollWhileTimerPushes(listener, file, (uint32_t)every, &cost);
  else
    feedInTurn(listener, file, rate, &cost);
  semihostingClose(file);
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
  appendNumber(cost.samples == 0
                   ? 0
                   : cost.ticks * kBoardInstructionsPerTick * (uint64_t)rate / cost.samples);
  append(",\"ram_bytes\":");
  appendNumber(stateBytes);
  append(",\"stack_bytes\":");
  appendNumber((uintptr_t)top - (uintptr_t)lowest);
  append(",\"largest_poll_instructions\":");
  appendNumber((uint64_t)cost.largestPoll * kBoardInstructionsPerTick);
  append(",\"dropped_samples\":");
  appendNumber(sonicsendListenerDropped(listener));
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
