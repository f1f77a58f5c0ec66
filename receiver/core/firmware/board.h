/* What the firmware needs of the chip it runs on, one file per chip: board-arm.c (QEMU's
 * mps2 boards: SysTick counts, the APB timer interrupts) and board-riscv.c (QEMU's virt:
 * minstret counts, the CLINT timer interrupts). */
#ifndef FIRMWARE_BOARD_H
#define FIRMWARE_BOARD_H

#include <stdint.h>

/* Instructions per tick of the counter, exact under QEMU's -icount shift=0. */
extern const uint32_t kBoardInstructionsPerTick;

/* Starts the counter; the ticks since `start` read right while fewer than 2^24 have passed. */
void boardStartCounter(void);
uint32_t boardTicks(void);
uint32_t boardTicksSince(uint32_t start);

/* Whether a timer interrupt can call boardTimerTick() every `ticks` ticks; it starts it. */
int boardStartTimer(uint32_t ticks);
void boardStopTimer(void);
/* Called by the board's timer interrupt; the firmware's own. */
void boardTimerTick(void);

/* The stack pointer as the caller sees it. */
uintptr_t boardStackPointer(void);

#endif
