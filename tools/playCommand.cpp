// `sonicsend play`: sends the signal through the sound device, in an endless loop, until
// Ctrl-C, SIGTERM or the given number of seconds. Without a device it waits for one.
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "arguments.h"
#include "commands.h"
#include "platform/SoundOutput.h"
#include "platform/alsaDevices.h"
#include "playAudio.h"

namespace sonicsend::cli {
namespace {

struct PlayOptions {
  CredentialOptions credentials;
  double seconds = 0;  // 0: until a signal
  std::string device = "default";
  std::string volume;  // a percentage, "keep", or empty: the sender's own levels
};

constexpr int kNothingSent = 1;  // exit status when no device ever took the sound

// Passes whose every chunk the device has taken: all queued chunks but the three in the queue.
long passesSent(const playAudio& sender) {
  constexpr playAudio::SInt64 kChunkBytes = playAudio::kFramesPerChunk * kPcmBytesPerFrame;
  const playAudio::SInt64 chunksPerPass = (sender.pcmLength() + kChunkBytes - 1) / kChunkBytes;
  const playAudio::SInt64 handedBack =
      sender.packetsQueued() / playAudio::kFramesPerChunk - playAudio::kBufferCount;
  if (chunksPerPass == 0 || handedBack <= 0) return 0;
  return static_cast<long>(handedBack / chunksPerPass);
}

void showStatus(const playAudio& sender, std::chrono::steady_clock::duration elapsed) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  const long passes = passesSent(sender);
  std::fprintf(stderr, "\rsending: %ld %s sent, %lld:%02lld elapsed (Ctrl-C stops)", passes,
               passes == 1 ? "pass" : "passes", static_cast<long long>(seconds / 60),
               static_cast<long long>(seconds % 60));
  std::fflush(stderr);
}

// The device, with the level set as --volume asks: the sender's own levels, a fixed one, or
// none at all. Whatever is set goes through `level`, which puts back what it found.
SoundOutput soundOutputFor(const PlayOptions& options, std::shared_ptr<OutputLevel> level) {
  SoundOutput output = systemSoundOutput(options.device);
  if (options.volume == "keep") {
    output.setVolume = [](float) {};
  } else {
    const std::optional<float> fixed =
        options.volume.empty() ? std::nullopt : std::optional(std::stof(options.volume) / 100.0f);
    output.setVolume = [level, fixed](float volume) { level->set(fixed.value_or(volume)); };
  }
  return output;
}

std::unique_ptr<playAudio> startSending(Credentials credentials, SoundOutput output) {
  auto ssid = std::make_shared<const std::u16string>(std::move(credentials.ssid));
  auto key = std::make_shared<const std::u16string>(std::move(credentials.key));
  if (credentials.layout == Layout::bare) {
    return playAudio::initWithSendSsid(ssid, key, std::move(output));
  }
  auto sender = std::make_unique<playAudio>(std::move(output));
  sender->setSsid(ssid, key);
  sender->startConnect();
  return sender;
}

void deviceKnownOrFail(const std::string& device) {
  if (!platform::alsaKnowsDevice(device, platform::Direction::playback)) {
    fail("play", kUsageError,
         "no ALSA playback device named \"" + printable(device) + "\" (see --list-devices)");
  }
}

// Sends until the time is up or a stop signal comes; says whether a device ever took the sound.
bool sendUntilStopped(const PlayOptions& options, Credentials credentials, SoundOutput output,
                      const sigset_t& stopSignals) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(options.seconds));
  const bool status = isatty(STDERR_FILENO) == 1;
  const std::unique_ptr<playAudio> sender = startSending(std::move(credentials), std::move(output));
  if (sender->sendState() == SendState::noDevice) {
    fail("play", kNothingSent, "no sound output; nothing is sent");
  }
  // Without a device the sender has said that it waits for one.
  bool played = false;
  const timespec tick{0, 200'000'000};
  while (options.seconds == 0 || std::chrono::steady_clock::now() < deadline) {
    played |= sender->sendState() == SendState::sending;
    if (status) showStatus(*sender, std::chrono::steady_clock::now() - start);
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) break;
  }
  played |= sender->sendState() == SendState::sending;
  sender->stopConnect();
  if (status) {
    showStatus(*sender, std::chrono::steady_clock::now() - start);
    std::fputc('\n', stderr);
  }
  return played;
}

void play(const PlayOptions& options) {
  // Read first: a key typed at the terminal must still be interruptible by Ctrl-C.
  Credentials credentials = credentialsOrFail("play", options.credentials);
  if (options.device != "default") deviceKnownOrFail(options.device);
  // Blocked before the queue's thread exists, so that it inherits the mask and the signals
  // are taken here, by sigtimedwait; so the level is put back however the command ends.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, stop);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // Outlives the sender: the level goes back once nothing can set it any more.
  const auto level = std::make_shared<OutputLevel>(options.device);
  const bool played = sendUntilStopped(options, std::move(credentials),
                                       soundOutputFor(options, level), stopSignals);
  level->restore();
  if (!played) fail("play", kNothingSent, "no sound device came; nothing was sent");
}

}  // namespace

void addPlayCommand(CLI::App& app) {
  auto options = std::make_shared<PlayOptions>();
  CLI::App* command = app.add_subcommand(
      "play", "Send an SSID and a key through the sound device, in a loop without gaps");
  options->credentials.addTo(*command, ", at output level 0.8 instead of 0.65");
  command->add_option("--seconds", options->seconds, "Stop after this many seconds")
      ->check(durationCheck());
  command->add_option("--device", options->device, "ALSA playback device")->default_val("default");
  command
      ->add_option("--volume", options->volume,
                   "Output level while sending, in percent; \"keep\" leaves the mixer alone")
      ->check(volumeCheck());
  addListDevicesFlag(*command, platform::Direction::playback);
  command->footer(
      "Plays through the ALSA PCM DEVICE and, while sending, sets the \"Master\" volume of its "
      "control (\"hw:N\" for a card's PCMs, else the control named as DEVICE) to 65% (80% "
      "with --bare), or to --volume; the level found is put back on exit. Without a device, "
      "says so once and tries again every second; the signal starts from its beginning when "
      "one opens. Runs until Ctrl-C, SIGTERM or SIGHUP (or --seconds), then stops at once and "
      "exits 0, or 1 when no device ever took the sound. On a terminal, one status line shows "
      "the passes sent and the time. An unknown DEVICE, an empty SSID, a character above "
      "U+00FF, U+001F in the SSID (U+000D with --bare), a control character in the key, "
      "over-limit credentials or bad arguments: a message on stderr and exit status 2.");
  command->callback([options] { play(*options); });
}

}  // namespace sonicsend::cli
