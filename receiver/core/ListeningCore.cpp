#include "ListeningCore.h"

#include <algorithm>
#include <new>

namespace sonicsend::receiver {
namespace {

bool supported(int sampleRate) {
  return std::find(kCoreRates.begin(), kCoreRates.end(), sampleRate) != kCoreRates.end();
}

}  // namespace

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
  auto* mix = reinterpret_cast<ToneWindows::MixTurn*>(bytes + mixTableOffset());
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
