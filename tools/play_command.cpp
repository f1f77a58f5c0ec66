// `sonicsend play`: sends the signal through the sound device, in an endless loop, until
// Ctrl-C, SIGTERM or the given number of seconds.
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "commands.h"
#include "playAudio.h"
#include "text.h"

namespace sonicsend::cli {
namespace {

struct PlayOptions {
  std::string ssid;
  std::string key;
  bool bare = false;
  double seconds = 0;  // 0: until a signal
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "sonicsend play: %s\n", message.c_str());
  throw CLI::RuntimeError(kUsageError);
}

std::u16string utf16Argument(const std::string& value, const char* name) {
  auto converted = toUtf16(value);
  if (!converted) fail(std::string(name) + " is not valid UTF-8");
  return *converted;
}

void checkLimit(Layout layout, const std::u16string& ssid, const std::u16string& key) {
  if (buildMessage(layout, ssid, key)) return;
  const bool bare = layout == Layout::bare;
  fail("SSID and key are " + std::to_string(ssid.size() + key.size()) +
       " UTF-16 code units together; the " + (bare ? "bare" : "framed") +
       " message holds at most " +
       std::to_string(bare ? kMaxBareCredentialUnits : kMaxFramedCredentialUnits));
}

// Passes whose every chunk the device has taken: all queued chunks but the three in the queue.
long passesSent(const playAudio& sender) {
  constexpr SInt64 kFramesPerChunk = 8192;
  constexpr SInt64 kChunkBytes = 32768;
  const SInt64 chunksPerPass = (sender.pcmLength() + kChunkBytes - 1) / kChunkBytes;
  const SInt64 handedBack = sender.packetsQueued() / kFramesPerChunk - 3;
  if (chunksPerPass == 0 || handedBack <= 0) return 0;
  return static_cast<long>(handedBack / chunksPerPass);
}

void showStatus(const playAudio& sender, std::chrono::steady_clock::duration elapsed) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  std::fprintf(stderr, "\rsending: %ld passes sent, %lld:%02lld elapsed (Ctrl-C stops)",
               passesSent(sender), static_cast<long long>(seconds / 60),
               static_cast<long long>(seconds % 60));
  std::fflush(stderr);
}

std::unique_ptr<playAudio> startSending(const PlayOptions& options) {
  const Layout layout = options.bare ? Layout::bare : Layout::framed;
  auto ssid = std::make_shared<const std::u16string>(utf16Argument(options.ssid, "--ssid"));
  auto key = std::make_shared<const std::u16string>(utf16Argument(options.key, "--key"));
  checkLimit(layout, *ssid, *key);
  if (options.bare) return playAudio::initWithSendSsid(ssid, key);
  auto sender = std::make_unique<playAudio>();
  sender->setSsid(ssid, key);
  sender->startConnect();
  return sender;
}

void play(const PlayOptions& options) {
  // Blocked before the queue's thread exists, so that it inherits the mask and the signals
  // are taken here, by sigtimedwait.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(options.seconds));
  const bool status = isatty(STDERR_FILENO) == 1;
  const std::unique_ptr<playAudio> sender = startSending(options);
  const timespec tick{0, 200'000'000};
  while (options.seconds == 0 || std::chrono::steady_clock::now() < deadline) {
    if (status) showStatus(*sender, std::chrono::steady_clock::now() - start);
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) break;
  }
  sender->stopConnect();
  if (status) {
    showStatus(*sender, std::chrono::steady_clock::now() - start);
    std::fputc('\n', stderr);
  }
}

}  // namespace

void addPlayCommand(CLI::App& app) {
  auto options = std::make_shared<PlayOptions>();
  CLI::App* command = app.add_subcommand(
      "play", "Send an SSID and a key through the sound device, in a loop without gaps");
  command->add_option("--ssid", options->ssid, "SSID of the network (UTF-8)")->required();
  command->add_option("--key", options->key, "Key of the network (UTF-8); may be empty")
      ->required();
  command->add_flag("--bare", options->bare,
                    "Bare layout: SSID, 0x0D, key (no header, no checksum), at output level 0.8 "
                    "instead of 0.65; SSID + key at most 95 UTF-16 code units instead of 93");
  command->add_option("--seconds", options->seconds, "Stop after this many seconds")
      ->check(CLI::PositiveNumber);
  command->footer(
      "Plays through ALSA's \"default\" PCM and sets the \"Master\" volume of its control to "
      "65% (80% with --bare). Runs until Ctrl-C or SIGTERM (or --seconds), then stops at once "
      "and exits 0. On a terminal, one status line shows the passes sent and the time. "
      "Over-limit credentials or bad arguments: a message on stderr and exit status 2.");
  command->callback([options] { play(*options); });
}

}  // namespace sonicsend::cli
