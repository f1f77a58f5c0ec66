#include "SymbolHistory.h"

#include <algorithm>
#include <cmath>

#include "storedTones.h"

namespace sonicsend::receiver {

void SymbolHistory::add(const ToneSums& window, float noise) {
  std::array<CoreTones::Level, kToneCount> level{};
  for (std::size_t tone = 0; tone < level.size(); ++tone) {
    level[tone] = CoreTones::levelOf(window[tone]);
  }
  const CoreTones::Level loudest = *std::max_element(level.begin(), level.end());
  Symbol& symbol = symbols_[count_ % kWindows];
  symbol.scale = storedTones::shortFloat(CoreTones::levelAtFullScale(loudest));
  for (std::size_t tone = 0; tone < level.size(); ++tone) {
    symbol.attenuation[tone] = CoreTones::attenuationOf(level[tone], loudest);
    symbol.phase[tone] = CoreTones::phaseOf(window[tone]);
  }
  ++count_;
  if (count_ > kReadDelay) read(count_ - 1 - kReadDelay, noise);
}

void SymbolHistory::readLatest(float noise) {
  for (std::uint32_t w = count_ - std::min(count_, kReadDelay); w < count_; ++w) read(w, noise);
}

// A window's threshold, byte and presence under either parity: the carrier that sounds in
// each window around it, the even one in even symbols.
void SymbolHistory::read(std::uint32_t window, float noise) {
  Symbol& symbol = symbols_[window % kWindows];
  ToneLevels levels{};
  for (std::size_t tone = 0; tone < levels.size(); ++tone) levels[tone] = levelOf(window, tone);
  for (std::size_t parity = 0; parity < 2; ++parity) {
    const float reference = carrierReference(window, count_, [&](std::size_t w) {
      const auto at = static_cast<std::uint32_t>(w);
      return levelOf(at, (at + parity) % 2 == 0 ? kEvenCarrier : kOddCarrier);
    });
    symbol.reference[parity] = storedTones::shortFloat(reference);
    symbol.byte[parity] = readSymbol(levels, reference).byte;
    const float carrier = levels[(window + parity) % 2 == 0 ? kEvenCarrier : kOddCarrier];
    const Presence<float> presence = presenceOf(levels, carrier, reference, noise);
    symbol.erased[parity] = presence.erased;
    symbol.heard[parity] = static_cast<std::uint8_t>(presence.heard * 255.0f + 0.5f);
  }
}

}  // namespace sonicsend::receiver
