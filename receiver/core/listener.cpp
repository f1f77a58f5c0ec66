#include "listener.h"

#include "ListeningCore.h"

namespace {

using sonicsend::receiver::ListeningCore;

static_assert(ListeningCore::kBlockAlignment == 8, "listener.h states the alignment: 8 bytes");

// The constant sizes listener.h gives for a caller's static array hold the block at every rate
// the core reads, wherever it is built.
constexpr bool withinStateSizes() {
  for (int rate : sonicsend::receiver::kCoreRates) {
    if (ListeningCore::blockBytes(rate) > SONICSEND_LISTENER_STATE_SIZE(rate)) return false;
  }
  return true;
}
static_assert(withinStateSizes(),
              "SONICSEND_LISTENER_STATE_SIZE in listener.h is below the state's size");

ListeningCore* coreOf(SonicsendListener* listener) {
  return reinterpret_cast<ListeningCore*>(listener);
}
const ListeningCore* coreOf(const SonicsendListener* listener) {
  return reinterpret_cast<const ListeningCore*>(listener);
}

}  // namespace

extern "C" {

size_t sonicsendListenerStateSize(int sampleRate) {
  return ListeningCore::stateSize(sampleRate);
}

SonicsendStateCheck sonicsendListenerCheck(const void* state, size_t size, int sampleRate) {
  switch (ListeningCore::check(state, size, sampleRate)) {
    case ListeningCore::Fit::ok:
      return kSonicsendStateOk;
    case ListeningCore::Fit::noBlock:
      return kSonicsendStateNull;
    case ListeningCore::Fit::rate:
      return kSonicsendStateRate;
    case ListeningCore::Fit::size:
      return kSonicsendStateSize;
    case ListeningCore::Fit::alignment:
      return kSonicsendStateAlignment;
  }
  return kSonicsendStateNull;
}

SonicsendListener* sonicsendListenerInit(void* state, size_t size, int sampleRate) {
  return reinterpret_cast<SonicsendListener*>(ListeningCore::create(state, size, sampleRate));
}

// A NULL listener or NULL samples cost the interrupt's path a compare each, nothing more.
void sonicsendListenerPushS16(SonicsendListener* listener, const int16_t* samples, size_t count) {
  if (listener == nullptr || samples == nullptr) return;
  coreOf(listener)->push(sonicsend::receiver::Span<const std::int16_t>(samples, count));
}

void sonicsendListenerPushF32(SonicsendListener* listener, const float* samples, size_t count) {
  if (listener == nullptr || samples == nullptr) return;
  coreOf(listener)->push(sonicsend::receiver::Span<const float>(samples, count));
}

int sonicsendListenerPoll(SonicsendListener* listener) {
  return listener != nullptr && coreOf(listener)->poll() ? 1 : 0;
}

int sonicsendListenerResult(const SonicsendListener* listener, SonicsendHeard* heard) {
  if (listener == nullptr || heard == nullptr) return 0;
  const auto* message = coreOf(listener)->message();
  if (message == nullptr) return 0;
  const auto& bounds = message->bounds;
  heard->ssid = message->bytes.data() + bounds.ssidBegin;
  heard->ssidLength = bounds.ssidLength;
  heard->key = message->bytes.data() + bounds.keyBegin;
  heard->keyLength = bounds.keyLength;
  heard->layout =
      bounds.layout == sonicsend::receiver::MessageLayout::bare ? kSonicsendBare : kSonicsendFramed;
  heard->frames = message->frames;
  heard->passes = message->passes;
  return 1;
}

uint32_t sonicsendListenerDropped(const SonicsendListener* listener) {
  return listener != nullptr ? coreOf(listener)->droppedSamples() : 0;
}

void sonicsendListenerReset(SonicsendListener* listener) {
  if (listener != nullptr) coreOf(listener)->reset();
}

}  // extern "C"
