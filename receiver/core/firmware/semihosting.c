#include "semihosting.h"

#include <stdint.h>

enum {
  kOpen = 0x01,
  kClose = 0x02,
  kWrite0 = 0x04,
  kRead = 0x06,
  kGetCommandLine = 0x15,
  kExit = 0x18,
  kExitExtended = 0x20,
  kApplicationExit = 0x20026,
  kOpenReadBinary = 1,
};

static uintptr_t call(uintptr_t operation, const void* argument) {
#if defined(__riscv)
  /* RISC-V's trap: an ebreak between these two no-ops, uncompressed and in one page. */
  register uintptr_t a0 __asm("a0") = operation;
  register const void* a1 __asm("a1") = argument;
  __asm volatile(
      ".option push\n.option norvc\n.balign 16\n"
      "slli x0, x0, 0x1f\nebreak\nsrai x0, x0, 7\n.option pop"
      : "+r"(a0)
      : "r"(a1)
      : "memory");
  return a0;
#else
  register uintptr_t r0 __asm("r0") = operation;
  register const void* r1 __asm("r1") = argument;
  __asm volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
  return r0;
#endif
}

static size_t lengthOf(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

int semihostingOpen(const char* path) {
  const uintptr_t block[3] = {(uintptr_t)path, kOpenReadBinary, lengthOf(path)};
  return (int)call(kOpen, block);
}

size_t semihostingRead(int file, void* buffer, size_t size) {
  const uintptr_t block[3] = {(uintptr_t)file, (uintptr_t)buffer, size};
  return size - call(kRead, block); /* the call returns the bytes not read */
}

void semihostingClose(int file) {
  const uintptr_t block[1] = {(uintptr_t)file};
  call(kClose, block);
}

void semihostingWrite(const char* text) {
  call(kWrite0, text);
}

const char* semihostingCommandLine(void) {
  static char line[512];
  uintptr_t block[2] = {(uintptr_t)line, sizeof line};
  if (call(kGetCommandLine, block) != 0) line[0] = '\0';
  return line;
}

void semihostingExit(int status) {
#if defined(__riscv)
  /* virt's test finisher ends QEMU with the status (semihosting's exit would leave it running). */
  *(volatile uint32_t*)0x100000u = status == 0 ? 0x5555u : ((uint32_t)status << 16) | 0x3333u;
#else
  const uintptr_t block[2] = {kApplicationExit, (uintptr_t)status};
  call(kExitExtended, block);
  call(kExit, (const void*)(uintptr_t)kApplicationExit);
#endif
  for (;;) {
  }
}
