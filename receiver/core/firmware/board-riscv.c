/* The board for QEMU's virt with an RV32 core: the minstret counter counts retired
 * instructions, one tick each (exact under -icount shift=0; reading it needs Zicsr); the
 * CLINT's machine timer interrupts. */
#include "board.h"

const uint32_t kBoardInstructionsPerTick = 1;

/* The CLINT's timer runs at 10 MHz of QEMU's virtual clock, which -icount shift=0 advances a
 * nanosecond per instruction: a timer tick is 100 instructions. */
enum {
  kInstructionsPerTimerTick = 100,
  kMachineTimerEnable = 1u << 7,
  kInterruptsEnable = 1u << 3
};
static volatile uint32_t* const mtimecmp = (volatile uint32_t*)0x02004000u;
static volatile uint32_t* const mtime = (volatile uint32_t*)0x0200BFF8u;
static uint64_t timerPeriod;
static uint64_t nextInterrupt;

static uint64_t timerNow(void) {
  uint32_t high, low;
  do {
    high = mtime[1];
    low = mtime[0];
  } while (mtime[1] != high);
  return (uint64_t)high << 32 | low;
}

/* The compare register is two words: its high word is set out of reach while the low one
 * changes, so that no interrupt comes from half of it. */
static void setTimerCompare(uint64_t at) {
  mtimecmp[1] = 0xFFFFFFFFu;
  mtimecmp[0] = (uint32_t)at;
  mtimecmp[1] = (uint32_t)(at >> 32);
}

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
  timerPeriod = ticks / kInstructionsPerTimerTick;
  if (timerPeriod == 0) timerPeriod = 1;
  nextInterrupt = timerNow() + timerPeriod;
  setTimerCompare(nextInterrupt);
  __asm volatile("csrs mie, %0" ::"r"(kMachineTimerEnable));
  __asm volatile("csrs mstatus, %0" ::"r"(kInterruptsEnable));
  return 1;
}

void boardStopTimer(void) {
  __asm volatile("csrc mie, %0" ::"r"(kMachineTimerEnable));
}

/* The machine timer's interrupt (startup-riscv.c's trap handler calls it): the next one is due
 * a period after this one was, however late this one ran. */
void boardTimerInterrupt(void) {
  nextInterrupt += timerPeriod;
  setTimerCompare(nextInterrupt);
  boardTimerTick();
}

uintptr_t boardStackPointer(void) {
  uintptr_t stackPointer;
  __asm volatile("mv %0, sp" : "=r"(stackPointer));
  return stackPointer;
}
