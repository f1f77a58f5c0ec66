/* Reset for QEMU's virt with an RV32 core: sets the stack and global pointers, copies the
 * initialised data, clears the rest and runs main; a trap ends the emulation with a failure. */
#include <stdint.h>

#include "semihosting.h"

extern uint32_t dataLoad, dataStart, dataEnd, bssStart, bssEnd;
int main(void);
void startC(void);
void trapHandler(void);

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

__attribute__((aligned(4))) void trapHandler(void) {
  semihostingWrite("fault\n");
  semihostingExit(2);
}
