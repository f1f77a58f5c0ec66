// The listening core's search for a message over the latest windows: which of them are even
// symbols, every way they could fall into frames and passes, and each way's frames read from
// their copies, a bounded step per poll. It reads either the history's plain levels or the
// room model's latest reading.
#pragma once

#include <array>
#include <cstdint>

#include "RoomModel.h"
#include "SymbolHistory.h"
#include "framing.h"
#include "messageBounds.h"

namespace sonicsend::receiver {

// A message once heard: its bytes as sent, where SSID and key lie in them, and how it came.
struct CoreMessage {
  std::array<std::uint8_t, kMaxMessageBytes> bytes{};
  MessageBounds bounds;
  int frames = 0;  // frames per pass
  int passes = 0;  // passes heard: the most any one frame was read from (FrameRead::passes)
};

class FrameSearch {
 public:
  void startOver();
  // A window came: the search may do a little more work.
  void earnCredit();
  // The noise share (noiseShare) of the latest search over plain levels, which the windows
  // read since are measured against.
  float noise() const { return noise_; }

  // Goes on with the search under way, or starts a new one: over the room model's reading
  // once it is done (taking it), else over the plain levels once a frame's worth of windows
  // came since the last. True once a message was heard; message() then holds it.
  bool step(SymbolHistory& history, RoomModel& room);
  const CoreMessage& message() const { return message_; }

 private:
  enum class Source : std::uint8_t { history, room };
  static constexpr int kMaxSlots = kSearchWindows / kFrameWindows;
  template <typename Windows>
  struct Copies;

  void start(SymbolHistory& history);
  void start(const RoomReading& reading, const SymbolHistory& history);
  bool carriersShow(const SymbolHistory& history);
  template <typename Windows>
  void rank(const Windows& windows);
  template <typename Windows>
  void readSlots(const Windows& windows, int firstWindow);
  SlotNumbers slotNumbers() const;
  template <typename Windows>
  bool stepWith(const Windows& windows);
  template <typename Windows>
  bool stepHypothesis(const Windows& windows, int& work, int& windowsRead);
  template <typename Windows>
  bool accepted(const Windows& windows, const Hypothesis& h);

  bool searching_ = false;
  Source source_ = Source::history;
  // Work it may still do: each window of audio adds some, so that its work per second of
  // audio is bounded however often poll runs.
  int credit_ = 0;
  std::uint32_t base_ = 0;  // the first window searched, counted since the start
  int length_ = 0;
  int evenOffset_ = 0;  // window w since the start is an even symbol when w + this is even
  float noise_ = 0.0f;
  float searchNoise_ = 0.0f;  // of the windows being searched
  ByPosition<Hypothesis, kMostHypotheses> hypotheses_{};
  int hypothesisCount_ = 0;
  int nextHypothesis_ = 0;
  // The hypothesis being read, frame by frame.
  int nextFrame_ = 0;  // 0: none
  std::array<std::uint8_t, kMaxMessageBytes> payload_{};
  int passes_ = 0;
  bool everyFrameAlone_ = true;
  int slotsFor_ = -1;  // the first window slotNumber_ was read for
  int slotCount_ = 0;
  ByPosition<std::uint8_t, kMaxSlots> slotNumber_{};  // the number of a checking frame, or 0
  CoreMessage message_;
};

}  // namespace sonicsend::receiver
