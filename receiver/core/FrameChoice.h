// The room model's choice between each tone's best reading and its runner-up. Where a tone's
// ringing nearly cancels its steady sound, a reading and its opposite explain the tone alike,
// and the one whose response explains it a little better may be the wrong one; but only the
// right readings make frames check. So from the best readings on, a tone or two at a time read
// as their runner-up while that makes clearly more frames check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "portable.h"
#include "reading.h"

namespace sonicsend::receiver {

class FrameChoice {
 public:
  using Misfits = std::array<float, SymbolRead::kTones>;

  // A window as the choice reads it, in one word: the tones the best readings say sound (a
  // bit each), where the runner-ups say otherwise, and the three tones whose levels (on 64, off
  // 0) lie nearest the threshold, nearest first, the first of those as near: the ones a failed
  // parity turns round, as RoomReading::byteOf does.
  static std::uint32_t pack(const std::array<std::int8_t, SymbolRead::kTones>& levels,
                            int threshold, std::uint32_t differs) {
    std::uint32_t packed = differs << kDiffersShift;
    std::array<int, 3> nearest{};
    std::array<int, 3> margins{256, 256, 256};
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      if (levels[bit] > threshold) packed |= 1u << bit;
      int margin = std::abs(levels[bit] - threshold);
      int tone = static_cast<int>(bit);
      for (std::size_t i = 0; i < nearest.size(); ++i) {
        if (margin < margins[i]) {
          std::swap(margin, margins[i]);
          std::swap(tone, nearest[i]);
        }
      }
    }
    for (std::size_t i = 0; i < nearest.size(); ++i)
      packed |= static_cast<std::uint32_t>(nearest[i]) << nearestShift(i);
    return packed;
  }

  // The byte of a window packed by pack() when the tones in `choice` read as their runner-up.
  // Where the parity fails, the nearest tone not read from a runner-up there is turned round (a
  // runner-up's reading is taken as sure).
  static std::uint8_t byteOf(std::uint32_t packed, std::uint32_t choice) {
    const std::uint32_t swapped = (packed >> kDiffersShift) & choice & kToneMask;
    std::uint32_t tones = (packed & kToneMask) ^ swapped;
    if (countOnes(tones) % 2 != 0) {
      std::uint32_t turned = nearestOf(packed, 0);
      for (std::size_t i = 1; i < 3 && ((swapped >> turned) & 1u) != 0; ++i)
        turned = nearestOf(packed, i);
      tones ^= 1u << turned;
    }
    return static_cast<std::uint8_t>(tones);
  }

  // Starts from the best readings, with `checked` frames checking (see checkingFrames).
  void start(int checked) {
    *this = FrameChoice{};
    checked_ = checked;
  }

  // Whether a round tries the choice that differs from the one made in tone `bit` and in tone
  // `other` (bit itself for a tone alone, else one after it): both have a runner-up.
  static bool tries(std::size_t bit, std::size_t other, const Misfits& runnerUp) {
    return runnerUp[bit] < kNoReading && runnerUp[other] < kNoReading;
  }

  // Tries that choice, if a round does: of the choices that make at least two more frames
  // check, the best makes most, and of those alike, the one whose readings explain the tones
  // best. `checkingWith(choice)` counts the frames that check with a choice.
  template <typename CheckingWith>
  void tryWith(std::size_t bit, std::size_t other, const Misfits& best, const Misfits& runnerUp,
               CheckingWith checkingWith) {
    if (!tries(bit, other, runnerUp)) return;
    const std::uint32_t choice = made_ ^ (1u << bit) ^ (other != bit ? 1u << other : 0u);
    tryChoice(choice, best, runnerUp, checkingWith);
  }

  // A round has tried every tone: the best choice found is made. False when none was better,
  // and the choice is done.
  bool endRound() {
    const bool better = bestChecked_ > 0;
    if (better) {
      made_ = best_;
      checked_ = bestChecked_;
    }
    best_ = made_;
    bestChecked_ = 0;
    bestMisfit_ = 0.0f;
    return better;
  }

  // Which tones read as their runner-up (a bit each).
  std::uint32_t made() const { return made_; }

  // The misfit of a tone without a runner-up.
  static constexpr float kNoReading = 3.0e38f;

 private:
  static constexpr std::uint32_t kToneMask = (1u << SymbolRead::kTones) - 1;
  static constexpr std::size_t kDiffersShift = SymbolRead::kTones;
  static constexpr std::size_t nearestShift(std::size_t i) {
    return 2 * SymbolRead::kTones + 4 * i;
  }
  static std::uint32_t nearestOf(std::uint32_t packed, std::size_t i) {
    return (packed >> nearestShift(i)) & 15u;
  }

  template <typename CheckingWith>
  void tryChoice(std::uint32_t choice, const Misfits& best, const Misfits& runnerUp,
                 CheckingWith checkingWith) {
    const int checked = checkingWith(choice);
    if (checked < checked_ + 2 || checked < bestChecked_) return;
    float misfit = 0.0f;
    for (std::size_t tone = 0; tone < SymbolRead::kTones; ++tone)
      misfit += ((choice >> tone) & 1u) != 0 ? runnerUp[tone] : best[tone];
    if (checked > bestChecked_ || misfit < bestMisfit_) {
      best_ = choice;
      bestChecked_ = checked;
      bestMisfit_ = misfit;
    }
  }

  std::uint32_t made_ = 0;
  int checked_ = 0;
  std::uint32_t best_ = 0;
  int bestChecked_ = 0;
  float bestMisfit_ = 0.0f;
};

}  // namespace sonicsend::receiver
