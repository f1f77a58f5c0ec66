// The encoder's entry points for the web page: SSID and key as UTF-16 code units in, one pass of
// the looped stream as 16-bit stereo PCM out. The page plays exactly what the library renders.
#include <emscripten/emscripten.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "encoder.h"

namespace {

// Where the page writes the SSID's code units followed by the key's.
std::array<char16_t, 256> credentialUnits{};
// The last pass encoded; the page copies its PCM out before the next call.
std::optional<sonicsend::Pass> lastPass;

sonicsend::Layout layoutOf(int bare) {
  return bare != 0 ? sonicsend::Layout::bare : sonicsend::Layout::framed;
}

// The first `units` units written; empty when that is more than the buffer holds.
std::u16string_view written(int units) {
  if (units < 0 || static_cast<std::size_t>(units) > credentialUnits.size()) return {};
  return {credentialUnits.data(), static_cast<std::size_t>(units)};
}

int indexOrNone(std::optional<std::size_t> index) {
  return index ? static_cast<int>(*index) : -1;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE char16_t* velarto_credentials() {
  return credentialUnits.data();
}

EMSCRIPTEN_KEEPALIVE int velarto_credentials_capacity() {
  return static_cast<int>(credentialUnits.size());
}

// The longest SSID + key, in code units, that one message of the layout holds.
EMSCRIPTEN_KEEPALIVE int velarto_max_units(int bare) {
  return sonicsend::maxCredentialUnits(layoutOf(bare));
}

// The index of the first of the `units` units written that the signal cannot carry (above 0xFF:
// it would arrive as another character), or -1 when every one arrives as typed.
EMSCRIPTEN_KEEPALIVE int velarto_first_unit_not_carried(int units) {
  return indexOrNone(sonicsend::firstUnitNotCarried(written(units)));
}

// The index of the first of the `units` units written that a receiver would take for the end of
// the SSID in the layout (its low byte the separator or zero), or -1.
EMSCRIPTEN_KEEPALIVE int velarto_first_unit_not_split_back(int units, int bare) {
  return indexOrNone(sonicsend::firstUnitNotSplitBack(layoutOf(bare), written(units)));
}

// The index of the first control character of the `units` units written, or -1.
EMSCRIPTEN_KEEPALIVE int velarto_first_control_character(int units) {
  return indexOrNone(sonicsend::firstControlCharacter(written(units)));
}

// Encodes the SSID (the first `ssidUnits` units written) and the key (the next `keyUnits`).
// Returns the PCM's size in bytes, or -1 when the credentials do not fit one message.
EMSCRIPTEN_KEEPALIVE int velarto_encode(int ssidUnits, int keyUnits, int bare) {
  lastPass.reset();
  if (ssidUnits < 0 || keyUnits < 0 || ssidUnits + keyUnits > velarto_credentials_capacity()) {
    return -1;
  }
  const std::u16string_view units(credentialUnits.data(),
                                  static_cast<std::size_t>(ssidUnits + keyUnits));
  lastPass =
      sonicsend::encodePass(layoutOf(bare), units.substr(0, static_cast<std::size_t>(ssidUnits)),
                            units.substr(static_cast<std::size_t>(ssidUnits)));
  return lastPass ? static_cast<int>(lastPass->pcm.size()) : -1;
}

// The PCM of the last pass encoded.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* velarto_pcm() {
  return lastPass ? lastPass->pcm.data() : nullptr;
}

}  // extern "C"
