#include "ListeningCore.h"

#include <algorithm>
#include <new>

#include "listener.h"

namespace sonicsend::receiver {
namespace {

bool supported(int sampleRate) {
  return std::find(kCoreRates.begin(), kCoreRates.end(), sampleRate) != kCoreRates.end();
}

constexpr std::size_t alignUp(std::size_t size, std::size_t to) {
  return (size + to - 1) / to * to;
}

// The block at a rate the core reads: the core, the tone mixer's table, the hand-over ring.
constexpr std::size_t blockBytes(int sampleRate) {
  return alignUp(sizeof(ListeningCore), alignof(ToneWindows::MixTurn)) +
         ToneWindows::mixTableSize(sampleRate) * sizeof(ToneWindows::MixTurn) +
         HandOver::sizeFor(sampleRate) * sizeof(std::atomic<std::int16_t>);
}

constexpr bool withinListenerBounds() {
  for (int rate : kCoreRates) {
    if (blockBytes(rate) > SONICSEND_LISTENER_STATE_SIZE(rate)) return false;
  }
  return true;
}

}  // namespace

// listener.h's constant sizes, for a caller's static array, hold the block wherever it is built.
static_assert(withinListenerBounds(),
              "SONICSEND_LISTENER_STATE_SIZE in listener.h is below the state's size");

std::size_t ListeningCore::stateSize(int sampleRate) {
  return supported(sampleRate) ? blockBytes(sampleRate) : 0;
}

// A block aligned alike on every target serves the core wherever it is built.
static_assert(alignof(ListeningCore) <= ListeningCore::kBlockAlignment &&
              alignof(ToneWindows::MixTurn) <= ListeningCore::kBlockAlignment);

ListeningCore::Fit ListeningCore::check(const void* block, std::size_t size, int sampleRate) {
  if (block == nullptr) return Fit::noBlock;
  if (!supported(sampleRate)) return Fit::rate;
  if (size < stateSize(sampleRate)) return Fit::size;
  if (reinterpret_cast<std::uintptr_t>(block) % kBlockAlignment != 0) return Fit::alignment;
  return Fit::ok;
}

ListeningCore* ListeningCore::create(void* block, std::size_t size, int sampleRate) {
  if (check(block, size, sampleRate) != Fit::ok) return nullptr;
  auto* bytes = static_cast<unsigned char*>(block);
  auto* mix = reinterpret_cast<ToneWindows::MixTurn*>(
      bytes + alignUp(sizeof(ListeningCore), alignof(ToneWindows::MixTurn)));
  auto* ring =
      reinterpret_cast<std::atomic<std::int16_t>*>(mix + ToneWindows::mixTableSize(sampleRate));
  const std::uint32_t ringSize = HandOver::sizeFor(sampleRate);
  for (std::uint32_t i = 0; i < ringSize; ++i) new (ring + i) std::atomic<std::int16_t>(0);
  return new (block) ListeningCore(sampleRate, mix, ring, ringSize);
}

ListeningCore::ListeningCore(int sampleRate, ToneWindows::MixTurn* mixTable,
                             std::atomic<std::int16_t>* ring, std::uint32_t ringSize)
    : handOver_(ring, ringSize), tones_(sampleRate, mixTable) {
  startOver();
}

void ListeningCore::startOver() {
  tones_.startOver();
  forgetWindows();
  heard_ = false;
}

void ListeningCore::forgetWindows() {
  history_.startOver();
  search_.startOver();
  room_.startOver();
}

void ListeningCore::reset() {
  handOver_.skipToNow();
  startOver();
}

void ListeningCore::demodulate(Span<const std::int16_t> samples) {
  for (std::int16_t sample : samples) {
    if (!tones_.add(CoreTones::fromInt16(sample))) continue;
    // Windows read with the tones where a clock that far off moved them are forgotten: the
    // highest tones fade most, so that two bytes may lose the same tone, and the parity tone
    // with it, and still pass the frame's check together.
    if (tones_.speedMoved()) {
      forgetWindows();
      continue;
    }
    history_.add(tones_.window(), search_.noise());
    search_.earnCredit();
    room_.earnCredit();
  }
}

bool ListeningCore::poll() {
  if (heard_) return true;
  handOver_.drain([this](Span<const std::int16_t> samples) { demodulate(samples); });
  heard_ = search_.step(history_, room_);
  if (!heard_) room_.step(history_);
  return heard_;
}

}  // namespace sonicsend::receiver
