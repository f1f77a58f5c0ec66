// Encodes one network's credentials with the installed library and creates a sender: exits
// with 0 when the signal has the length of its frames and the sender is idle.
#include <playAudio.h>

int main() {
  using namespace sonicsend;
  const auto message = buildMessage(Layout::framed, u"HomeNet", u"correct horse");
  const auto pass = encodePass(Layout::framed, u"HomeNet", u"correct horse");
  const bool whole = message && pass &&
                     pass->samples.size() == std::size_t(frameCount(*message)) * kFrameSamples &&
                     pass->pcm.size() == pass->samples.size() * kPcmBytesPerFrame;
  return whole && playAudio().signalLength() == 0 ? 0 : 1;
}
