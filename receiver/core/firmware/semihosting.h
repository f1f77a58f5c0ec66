/* The host's files and console through raw semihosting calls: no C library stdio, so nothing
 * in the firmware allocates. */
#ifndef FIRMWARE_SEMIHOSTING_H
#define FIRMWARE_SEMIHOSTING_H

#include <stddef.h>

/* A file opened for reading in binary, or -1. */
int semihostingOpen(const char* path);
/* Bytes read into `buffer`, 0 at the end. */
size_t semihostingRead(int file, void* buffer, size_t size);
void semihostingClose(int file);
void semihostingWrite(const char* text);
/* The command line the emulator was given (its -semihosting-config arg=...), or "". */
const char* semihostingCommandLine(void);
/* Ends the emulation; the firmware's result is in what it wrote. */
void semihostingExit(int status) __attribute__((noreturn));

#endif
