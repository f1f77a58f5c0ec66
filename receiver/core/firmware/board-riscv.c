/* The board for QEMU's virt with an RV32 core: the minstret counter counts retired
 * instructions, one tick each (exact under -icount shift=0; reading it needs Zicsr). No timer
 * interrupt is wired up yet. */
#include "board.h"

const uint32_t kBoardInstructionsPerTick = 1;

void boardStartCounter(void) {}

uint32_t boardTicks(void) {
  uint32_t count;
  __asm volatile("csrr %0, minstret" : "=r"(count));
  return count;
}

uint32_t boardTicksSince(uint32_t start) {
  return boardTicks() - start;
}

int boardStartTimer(uint32_t ticks) {
  (void)ticks;
  return 0;
}

void boardStopTimer(void) {}

uintptr_t boardStackPointer(void) {
  uintptr_t stackPointer;
  __asm volatile("mv %0, sp" : "=r"(stackPointer));
  return stackPointer;
}
