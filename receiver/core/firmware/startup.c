/* Reset and the vector table for a Cortex-M: copies the initialised data, clears the rest,
 * turns the FPU on where there is one and runs main; any fault ends the emulation with a
 * failure. */
#include <stdint.h>

#include "semihosting.h"

extern uint32_t dataLoad, dataStart, dataEnd, bssStart, bssEnd, stackTop;
int main(void);
void resetHandler(void);
void faultHandler(void);
void sysTickHandler(void);
void timer0Handler(void);

#define CPACR (*(volatile uint32_t*)0xE000ED88u)

void resetHandler(void) {
  const uint32_t* from = &dataLoad;
  for (uint32_t* to = &dataStart; to < &dataEnd;) *to++ = *from++;
  for (uint32_t* to = &bssStart; to < &bssEnd;) *to++ = 0;
#if defined(__ARM_FP)
  CPACR |= 0xFu << 20; /* CP10 and CP11: the single-precision FPU */
  __asm volatile("dsb\n isb");
#endif
  semihostingExit(main());
}

void faultHandler(void) {
  semihostingWrite("fault\n");
  semihostingExit(2);
}

/* The initial stack pointer, the handlers from reset to SysTick, then the interrupts up to the
 * APB timer 0's (8). */
struct VectorTable {
  const void* stack;
  void (*handlers[15 + 9])(void);
};

__attribute__((section(".vectors"), used)) static const struct VectorTable vectors = {
    &stackTop,
    {resetHandler,
     faultHandler,
     faultHandler,
     faultHandler,
     faultHandler,
     faultHandler,
     0,
     0,
     0,
     0,
     faultHandler,
     faultHandler,
     0,
     faultHandler,
     sysTickHandler,
     0,
     0,
     0,
     0,
     0,
     0,
     0,
     0,
     timer0Handler},
};
