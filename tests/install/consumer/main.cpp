// Encodes one network's credentials with the installed library and creates a sender: exits
// with 0 when the signal has the length of its frames and the sender is idle.
#include <playAudio.h>

// The library keeps its platform names out of the global namespace: a consumer's own win.
using UInt32 = long;
using Boolean = bool;
constexpr int noErr = 1;

int main() {
  using namespace sonicsend;
  const auto message = buildMessage(Layout::framed, u"HomeNet", u"correct horse");
  const auto pass = encodePass(Layout::framed, u"HomeNet", u"correct horse");
  const bool whole = message && pass &&
                     pass->samples.size() == std::size_t(frameCount(*message)) * kFrameSamples &&
                     pass->pcm.size() == pass->samples.size() * kPcmBytesPerFrame;
  return whole && playAudio().signalLength() == 0 && noErr == 1 ? 0 : 1;
}
