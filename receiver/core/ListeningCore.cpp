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
constexpr int kMaxRingSamples = 1 << 14;
// The room model's units of work each read its windows about once: a unit costs a credit per
// window it reads, and each window of audio adds this much.
constexpr int kRoomCreditPerWindow = 300;
constexpr int kMostRoomCredit = 40 * kRoomCreditPerWindow;

// The hand-over holds an eighth of a second at least: the longest poll takes far less.
std::uint32_t ringSizeFor(int sampleRate) {
  std::uint32_t size = 1024;
  while (size < static_cast<std::uint32_t>(sampleRate / 8)) size *= 2;
  return std::min<std::uint32_t>(size, kMaxRingSamples);
}

bool supported(int sampleRate) {
  return std::find(kCoreRates.begin(), kCoreRates.end(), sampleRate) != kCoreRates.end();
}

constexpr std::size_t alignUp(std::size_t size, std::size_t to) {
  return (size + to - 1) / to * to;
}

std::int16_t toInt16(float sample) {
  if (!std::isfinite(sample)) return 0;
  const float scaled = std::clamp(sample, -1.0f, 1.0f) * 32767.0f;
  return static_cast<std::int16_t>(std::lround(scaled));
}

}  // namespace

std::size_t ListeningCore::stateSize(int sampleRate) {
  if (!supported(sampleRate)) return 0;
  const std::size_t mixBytes = ToneWindows::mixTableSize(sampleRate) * sizeof(Phasor);
  return alignUp(sizeof(ListeningCore), alignof(Phasor)) + mixBytes +
         ringSizeFor(sampleRate) * sizeof(std::atomic<std::int16_t>);
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
  const std::uint32_t ringSize = ringSizeFor(sampleRate);
  for (std::uint32_t i = 0; i < ringSize; ++i) new (ring + i) std::atomic<std::int16_t>(0);
  return new (block) ListeningCore(sampleRate, mix, ring, ringSize);
}

ListeningCore::ListeningCore(int sampleRate, Phasor* mixTable, std::atomic<std::int16_t>* ring,
                             std::uint32_t ringSize)
    : tones_(sampleRate, mixTable), ring_(ring), ringMask_(ringSize - 1) {
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
  read_ = published_.load(std::memory_order_acquire);
  dropped_ = 0;
  startOver();
}

// The producer: claim, write, publish, at most a ring's worth at a time.
void ListeningCore::writeRing(std::span<const std::int16_t> samples) {
  const std::uint32_t start = published_.load(std::memory_order_relaxed);
  const auto count = static_cast<std::uint32_t>(samples.size());
  claimed_.store(start + count, std::memory_order_relaxed);
  // Each sample is released: a consumer that reads it also sees the claim made before it.
  for (std::uint32_t i = 0; i < count; ++i) {
    ring_[(start + i) & ringMask_].store(samples[i], std::memory_order_release);
  }
  published_.store(start + count, std::memory_order_release);
}

void ListeningCore::push(std::span<const std::int16_t> samples) {
  const std::size_t most = ringMask_ + 1;
  while (!samples.empty()) {
    const std::size_t count = std::min(samples.size(), most);
    writeRing(samples.first(count));
    samples = samples.subspan(count);
  }
}

void ListeningCore::push(std::span<const float> samples) {
  std::array<std::int16_t, 64> converted{};
  while (!samples.empty()) {
    const std::size_t count = std::min(samples.size(), converted.size());
    for (std::size_t i = 0; i < count; ++i) converted[i] = toInt16(samples[i]);
    writeRing(std::span<const std::int16_t>(converted.data(), count));
    samples = samples.subspan(count);
  }
}

// The consumer: copies out what was published, then keeps only what no producer claimed
// again meanwhile; what was overwritten is counted as dropped.
void ListeningCore::drainRing() {
  std::array<std::int16_t, 256> piece{};
  for (;;) {
    const std::uint32_t published = published_.load(std::memory_order_acquire);
    if (published == read_) return;
    const std::uint32_t size = ringMask_ + 1;
    if (published - read_ > size) {
      dropped_ += published - read_ - size;
      read_ = published - size;
    }
    const auto count = std::min<std::uint32_t>(published - read_, piece.size());
    for (std::uint32_t i = 0; i < count; ++i) {
      piece[i] = ring_[(read_ + i) & ringMask_].load(std::memory_order_acquire);
    }
    const std::uint32_t claimed = claimed_.load(std::memory_order_acquire);
    // Sample i was rewritten once a producer claimed sample i + size.
    const std::uint32_t firstIntact = claimed - read_ > size ? claimed - size - read_ : 0;
    if (firstIntact >= count) {
      dropped_ += count;
    } else {
      dropped_ += firstIntact;
      demodulate(std::span<const std::int16_t>(piece.data() + firstIntact, count - firstIntact));
    }
    read_ += count;
  }
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
  drainRing();
  if (heard_) return true;
  const bool found = stepSearch();
  if (!found) stepRoom();
  return found;
}

}  // namespace sonicsend::receiver
