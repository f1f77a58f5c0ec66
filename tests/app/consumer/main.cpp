// Encodes one network's credentials with the installed library and creates a sender: exits
// with 0 when the signal has the length of its frames and the sender is idle.
#include <cstdio>

#include <playAudio.h>

int main() {
  const auto pass = sonicsend::encodePass(sonicsend::Layout::framed, u"HomeNet", u"correct horse");
  if (!pass) return 1;
  const auto frames = static_cast<std::size_t>(sonicsend::frameCount(
      *sonicsend::buildMessage(sonicsend::Layout::framed, u"HomeNet", u"correct horse")));
  const bool whole = pass->samples.size() == frames * sonicsend::kFrameSamples &&
                     pass->pcm.size() == pass->samples.size() * sonicsend::kPcmBytesPerFrame;
  auto sender = std::make_unique<playAudio>();
  sender->setSsid(std::make_shared<const std::u16string>(u"HomeNet"),
                  std::make_shared<const std::u16string>(u"correct horse"));
  std::printf("%zu samples in %zu frames\n", pass->samples.size(), frames);
  return whole && sender->signalLength() == 0 ? 0 : 1;
}
