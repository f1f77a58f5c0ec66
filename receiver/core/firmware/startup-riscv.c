/* Reset for QEMU's virt with an RV32 core: sets the stack and global pointers, copies the
 * initialised data, clears the rest and runs main. The machine timer's interrupt goes to the
 * board; any other trap ends the emulation with a failure. */
#include <stdint.h>

#include "semihosting.h"

extern uint32_t dataLoad, dataStart, dataEnd, bssStart, bssEnd;
int main(void);
void startC(void);
void trapHandler(void);
void boardTimerInterrupt(void);

__attribute__((naked, section(".text.start"))) void _start(void) {
  __asm volatile(
      ".option push\n.option norelax\n"
      "la gp, __global_pointer$\n"
      ".option pop\n"
      "la sp, stackTop\n"
      "la t0, trapHandler\n"
      "csrw mtvec, t0\n"
      "j startC\n");
}

void startC(void) {
  const uint32_t* from = &dataLoad;
  for (uint32_t* to = &dataStart; to < &dataEnd;) *to++ = *from++;
  for (uint32_t* to = &bssStart; to < &bssEnd;) *to++ = 0;
  semihostingExit(main());
}

/* mcause of the machine timer's interrupt: the interrupt bit and cause 7. */
#define MACHINE_TIMER_INTERRUPT 0x80000007u

__attribute__((interrupt("machine"), aligned(4))) void trapHandler(void) {
  uint32_t cause;
  __asm volatile("csrr %0, mcause" : "=r"(cause));
  if (cause == MACHINE_TIMER_INTERRUPT) {
    boardTimerInterrupt();
    return;
  }
  semihostingWrite("fault\n");
  semihostingExit(2);
}
