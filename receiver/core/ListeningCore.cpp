#include "ListeningCore.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "storedTones.h"

namespace sonicsend::receiver {
namespace {

constexpr auto kTones = static_cast<std::size_t>(kToneCount);
constexpr float kFromInt16 = 1.0f / 32768.0f;
// The frame search may do this much work (see ListeningCoreSearch.cpp) per window of audio,
// and bank at most kMostSearchCredit: its instructions per second of audio stay bounded.
constexpr int kSearchCreditPerWindow = 12;
constexpr int kMostSearchCredit = 40 * kSearchCreditPerWindow;
// The room model's units of work each read its windows about once: a unit costs a credit per
// window it reads, and each window of audio adds this much.
constexpr int kRoomCreditPerWindow = 300;
constexpr int kMostRoomCredit = 40 * kRoomCreditPerWindow;

bool supported(int sampleRate) {
  return std::find(kCoreRates.begin(), kCoreRates.end(), sampleRate) != kCoreRates.end();
}

constexpr std::size_t alignUp(std::size_t size, std::size_t to) {
  return (size + to - 1) / to * to;
}

}  // namespace

std::size_t ListeningCore::stateSize(int sampleRate) {
  if (!supported(sampleRate)) return 0;
  const std::size_t mixBytes = ToneWindows::mixTableSize(sampleRate) * sizeof(Phasor);
  return alignUp(sizeof(ListeningCore), alignof(Phasor)) + mixBytes +
         HandOver::sizeFor(sampleRate) * sizeof(std::atomic<std::int16_t>);
}

ListeningCore* ListeningCore::create(void* block, std::size_t size, int sampleRate) {
  if (block == nullptr || !supported(sampleRate) || size < stateSize(sampleRate) ||
      reinterpret_cast<std::uintptr_t>(block) % alignof(ListeningCore) != 0) {
    return nullptr;
  }
  auto* bytes = static_cast<unsigned char*>(block);
  auto* mix = reinterpret_cast<Phasor*>(bytes + alignUp(sizeof(ListeningCore), alignof(Phasor)));
  auto* ring =
      reinterpret_cast<std::atomic<std::int16_t>*>(mix + ToneWindows::mixTableSize(sampleRate));
  const std::uint32_t ringSize = HandOver::sizeFor(sampleRate);
  for (std::uint32_t i = 0; i < ringSize; ++i) new (ring + i) std::atomic<std::int16_t>(0);
  return new (block) ListeningCore(sampleRate, mix, ring, ringSize);
}

ListeningCore::ListeningCore(int sampleRate, Phasor* mixTable, std::atomic<std::int16_t>* ring,
                             std::uint32_t ringSize)
    : handOver_(ring, ringSize), tones_(sampleRate, mixTable) {
  startOver();
}

void ListeningCore::startOver() {
  tones_.startOver();
  symbolCount_ = 0;
  searching_ = false;
  searchBase_ = 0;
  searchLength_ = 0;
  searchCredit_ = 0;
  noise_ = 0.0f;
  searchNoise_ = 0.0f;
  roomStage_ = RoomStage::idle;
  searchingRoom_ = false;
  roomCredit_ = 0;
  roomBase_ = 0;
  roomLength_ = 0;
  roomNextStart_ = 0;
  heard_ = false;
}

void ListeningCore::reset() {
  handOver_.skipToNow();
  startOver();
}

void ListeningCore::demodulate(std::span<const std::int16_t> samples) {
  for (std::int16_t sample : samples) {
    if (tones_.add(static_cast<float>(sample) * kFromInt16)) emitSymbol();
  }
}

// The window just ended becomes a symbol of the history.
void ListeningCore::emitSymbol() {
  store(tones_.window(), history_[symbolCount_ % kHistory]);
  ++symbolCount_;
  searchCredit_ = std::min(searchCredit_ + kSearchCreditPerWindow, kMostSearchCredit);
  roomCredit_ = std::min(roomCredit_ + kRoomCreditPerWindow, kMostRoomCredit);
  if (symbolCount_ > kReadDelay) readWindow(symbolCount_ - 1 - kReadDelay);
}

void ListeningCore::store(const TonePhasor& window, StoredSymbol& symbol) const {
  std::array<float, kToneCount> level{};
  for (std::size_t tone = 0; tone < kTones; ++tone) {
    level[tone] = std::sqrt(window[tone].re * window[tone].re + window[tone].im * window[tone].im);
  }
  const float loudest = *std::max_element(level.begin(), level.end());
  symbol.scale = storedTones::shortFloat(loudest);
  for (std::size_t tone = 0; tone < kTones; ++tone) {
    symbol.attenuation[tone] = storedTones::attenuationOf(level[tone], loudest);
    symbol.phase[tone] = storedTones::phaseOf(window[tone].re, window[tone].im);
  }
}

bool ListeningCore::poll() {
  if (heard_) return true;
  handOver_.drain([this](std::span<const std::int16_t> samples) { demodulate(samples); });
  if (heard_) return true;
  const bool found = stepSearch();
  if (!found) stepRoom();
  return found;
}

}  // namespace sonicsend::receiver
