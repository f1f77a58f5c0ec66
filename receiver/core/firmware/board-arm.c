/* The board for QEMU's mps2-an385 and mps2-an386: SysTick counts down from 2^24 - 1 at the
 * 25 MHz processor clock, one tick per 40 instructions under -icount shift=0 (a virtual
 * nanosecond per instruction); the APB timer 0, on the same clock, interrupts. */
#include "board.h"

#define SYST_CSR (*(volatile uint32_t*)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t*)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t*)0xE000E018u)
#define NVIC_ISER0 (*(volatile uint32_t*)0xE000E100u)
#define TIMER0_CTRL (*(volatile uint32_t*)0x40000000u)
#define TIMER0_RELOAD (*(volatile uint32_t*)0x40000008u)
#define TIMER0_INTCLEAR (*(volatile uint32_t*)0x4000000Cu)

enum { kTickMask = 0xFFFFFF, kTimer0Interrupt = 8 };

const uint32_t kBoardInstructionsPerTick = 40;

void sysTickHandler(void);
void timer0Handler(void);

void boardStartCounter(void) {
  SYST_RVR = kTickMask;
  SYST_CVR = 0;
  SYST_CSR = 0x5; /* enabled, processor clock, no interrupt */
}

uint32_t boardTicks(void) {
  return SYST_CVR;
}

uint32_t boardTicksSince(uint32_t start) {
  return (start - SYST_CVR) & kTickMask;
}

int boardStartTimer(uint32_t ticks) {
  TIMER0_RELOAD = ticks;
  TIMER0_CTRL = 0x9; /* enabled, interrupting */
  NVIC_ISER0 = 1u << kTimer0Interrupt;
  return 1;
}

void boardStopTimer(void) {
  TIMER0_CTRL = 0;
}

uintptr_t boardStackPointer(void) {
  uintptr_t stackPointer;
  __asm volatile("mov %0, sp" : "=r"(stackPointer));
  return stackPointer;
}

void sysTickHandler(void) {}

void timer0Handler(void) {
  TIMER0_INTCLEAR = 1;
  boardTimerTick();
}
