// The container `encode` writes: plain WAV while its 32-bit sizes can count the data, else RF64.
#pragma once

#include <sndfile.h>

#include <cstdint>

namespace sonicsend::cli {

// The RIFF size counts the whole file but its first 8 bytes in 32 bits; this leaves room for
// the header's chunks.
inline constexpr std::uint64_t kLargestWavData = 0xFFFFFFFFull - 4096;

inline int wavFormatFor(std::uint64_t dataBytes) {
  return dataBytes > kLargestWavData ? SF_FORMAT_RF64 : SF_FORMAT_WAV;
}

}  // namespace sonicsend::cli
