#include "framing.h"

#include <algorithm>

namespace sonicsend::receiver {

int Hypothesis::numberAt(int slot) const {
  const int offset = (slot - firstSlot) % frames;
  return (offset + frames) % frames + 1;
}

bool wrapHeard(SlotNumbers numbers, const Hypothesis& h) {
  for (std::size_t slot = 0; slot + 1 < numbers.size(); ++slot) {
    if (numbers[slot] == h.frames && numbers[slot + 1] == 1 &&
        h.numberAt(static_cast<int>(slot)) == h.frames) {
      return true;
    }
  }
  return false;
}

// Ties keep the order made, spelt out: std::stable_sort may take a buffer from the heap.
void sortHypotheses(Span<Hypothesis> hypotheses) {
  std::sort(hypotheses.begin(), hypotheses.end(), [](const Hypothesis& a, const Hypothesis& b) {
    if (a.support != b.support) return a.support > b.support;
    if (a.firstWindow != b.firstWindow) return a.firstWindow < b.firstWindow;
    if (a.frames != b.frames) return a.frames < b.frames;
    return a.firstSlot < b.firstSlot;
  });
}

}  // namespace sonicsend::receiver
