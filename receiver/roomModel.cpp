#include "roomModel.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "framing.h"
#include "reading.h"
#include "tones.h"

namespace sonicsend::receiver {
namespace {

// Every tone's levels moved towards the threshold as far as its reading cannot be believed
// (see fitWeight).
void weighByFit(const RoomRecording& room, std::vector<ToneLevels>& levels) {
  const std::vector<ToneSounding> sounding = soundingOf(bytesOf(levels));
  for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
    const std::size_t tone = toneOf(bit);
    const double weight =
        fitWeight(learnTone(room, sounding, tone), static_cast<int>(room.windows()));
    for (auto& window : levels) {
      window[tone] = static_cast<float>(1.0 + (window[tone] - 1.0) * weight);
    }
  }
}

}  // namespace

RoomRecording roomRecording(std::span<const TonePhasors> phasors, std::vector<AlignedTones> aligned,
                            std::size_t evenOffset) {
  RoomRecording room{phasors, std::move(aligned)};
  // A response needs some windows per term it learns.
  room.echoes = static_cast<std::size_t>(echoesOver(room.aligned.size()));
  for (std::size_t tone = 0; tone < kToneCount; ++tone)
    room.energy[tone] = toneEnergy(room.aligned, tone);
  room.passWindows = findPassLength(room.aligned);
  room.evenOffset = evenOffset;
  return room;
}

// The prediction's reading (see roomEstimators.h), as levels: the ends the residuals gather at
// measure 0 and 2.
std::vector<float> readByPrediction(const RoomRecording& room, std::size_t tone) {
  const auto count = static_cast<int>(room.windows());
  const auto y = [&](int w) { return room.aligned[static_cast<std::size_t>(w)][tone]; };
  const auto prediction = predictTone(count, y);
  constexpr int kPast = TonePrediction<Complex>::kPast;
  const auto along = [&](int i) { return prediction.along(y, i + kPast); };
  const auto [off, on] = twoEnds(count - kPast, along);
  const double size = on - off;
  std::vector<float> levels(room.windows());
  for (int w = 0; w < count; ++w) {
    const double level = w < kPast || size <= 0.0 ? 1.0 : 2.0 * (along(w - kPast) - off) / size;
    levels[static_cast<std::size_t>(w)] = static_cast<float>(std::clamp(level, -1.0, 3.0));
  }
  return levels;
}

Response learnTone(const RoomRecording& room, std::span<const ToneSounding> sounding,
                   std::size_t tone) {
  return learnResponse(room.aligned, sounding, tone, room.echoes, room.energy[tone]);
}

ToneReading cancelTone(const RoomRecording& room, std::span<const ToneSounding> sounding,
                       std::size_t tone) {
  const auto count = static_cast<int>(room.windows());
  std::vector<std::uint32_t> bits = soundingBits(sounding, tone);
  const Response response = learnResponse(room.aligned, bits, tone, room.echoes, room.energy[tone]);
  std::vector<Complex> unexplained(room.windows());
  for (std::size_t w = 0; w < room.windows(); ++w) unexplained[w] = room.aligned[w][tone];
  ToneReading reading{std::vector<float>(room.windows()), std::vector<bool>(room.windows())};
  readThroughResponse(
      response.terms, static_cast<int>(room.echoes + 1), count, static_cast<int>(room.passWindows),
      bits.data(), [&](int w) -> Complex& { return unexplained[static_cast<std::size_t>(w)]; },
      [&](int a, double on) {
        reading.levels[static_cast<std::size_t>(a)] =
            static_cast<float>(std::clamp(2.0 * on, -1.0, 3.0));
      });
  for (int w = 0; w < count; ++w)
    reading.sounds[static_cast<std::size_t>(w)] = bitAt(bits.data(), w);
  return reading;
}

std::vector<std::uint8_t> bytesOf(std::span<const ToneLevels> levels) {
  std::vector<std::uint8_t> bytes(levels.size());
  for (std::size_t w = 0; w < levels.size(); ++w) {
    Levels own{};
    std::copy(levels[w].begin(), levels[w].end(), own.begin());
    bytes[w] = readSymbol(own, 1.0).byte;
  }
  return bytes;
}

std::vector<ToneSounding> soundingOf(std::span<const std::uint8_t> bytes) {
  std::vector<ToneSounding> sounding(bytes.size());
  for (std::size_t w = 0; w < bytes.size(); ++w) {
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      sounding[w][toneOf(bit)] = soundsIn(bytes[w], bit);
    }
  }
  return sounding;
}

std::array<int, 2> checkingFramesByStart(std::span<const ToneLevels> levels) {
  const std::vector<std::uint8_t> bytes = bytesOf(levels);
  return checkingStarts(static_cast<int>(bytes.size()),
                        [&](int w) { return bytes[static_cast<std::size_t>(w)]; });
}

std::size_t checkingFrames(std::span<const ToneLevels> levels) {
  const std::array<int, 2> starts = checkingFramesByStart(levels);
  return static_cast<std::size_t>(starts[0] + starts[1]);
}

// Which carrier is on in a window is as ambiguous, for a carrier in a room, as a tone turned
// round; but a frame always starts on the even symbols' carrier, so the frames that check
// tell the even windows.
std::size_t placeFrameNumbers(std::span<const ToneLevels> levels, std::size_t evenOffset) {
  const std::array<int, 2> starts = checkingFramesByStart(levels);
  if (starts[0] == starts[1]) return evenOffset;
  return starts[0] > starts[1] ? 0 : 1;
}

std::vector<ToneLevels> readWithModel(const RoomRecording& room, std::vector<ToneLevels> levels) {
  const std::size_t evenOffset = placeFrameNumbers(levels, room.evenOffset);
  weighByFit(room, levels);
  for (std::size_t w = 0; w < levels.size(); ++w) {
    const bool even = (w + evenOffset) % 2 == 0;
    levels[w][kEvenCarrier] = even ? 1.0f : 0.0f;
    levels[w][kOddCarrier] = even ? 0.0f : 1.0f;
  }
  return levels;
}

}  // namespace sonicsend::receiver
