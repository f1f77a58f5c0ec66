// The header of the WAV file `encode` writes: 16-bit stereo PCM at kSampleRate, with the exact
// sizes of its data written before any sample, so that the file can go to a pipe. Plain WAV
// while its 32-bit sizes can count the data, else RF64 (sizes in a "ds64" chunk).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tones.h"

namespace sonicsend::cli {

// The RIFF size counts the whole file but its first 8 bytes in 32 bits; this leaves room for
// the header's chunks.
inline constexpr std::uint64_t kLargestWavData = 0xFFFFFFFFull - 4096;

enum class Container { wav, rf64 };

inline Container containerFor(std::uint64_t dataBytes) {
  return dataBytes > kLargestWavData ? Container::rf64 : Container::wav;
}

namespace wav {

inline void put(std::vector<std::uint8_t>& out, std::string_view tag) {
  out.insert(out.end(), tag.begin(), tag.end());
}

// `value` in `bytes` little-endian bytes.
inline void put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace wav

// Everything before the first sample of a file holding `dataBytes` of sample data.
inline std::vector<std::uint8_t> wavHeader(std::uint64_t dataBytes,
                                           Container container = Container::wav) {
  using wav::put;
  constexpr std::uint32_t kChannels = kPcmChannels;
  constexpr std::uint32_t kBlockAlign = kPcmBytesPerFrame;
  constexpr std::uint32_t kRate = kSampleRate;
  constexpr std::uint64_t kUnknown32 = 0xFFFFFFFF;  // the size is in the "ds64" chunk
  const bool rf64 = container == Container::rf64;
  constexpr std::uint64_t kWavHeader = 44;
  constexpr std::uint64_t kDs64Chunk = 8 + 28;
  const std::uint64_t riffSize = (rf64 ? kWavHeader + kDs64Chunk : kWavHeader) - 8 + dataBytes;
  std::vector<std::uint8_t> out;
  put(out, rf64 ? "RF64" : "RIFF");
  put(out, rf64 ? kUnknown32 : riffSize, 4);
  put(out, "WAVE");
  if (rf64) {
    put(out, "ds64");
    put(out, 28, 4);
    put(out, riffSize, 8);
    put(out, dataBytes, 8);
    put(out, dataBytes / kBlockAlign, 8);  // frames
    put(out, 0, 4);                        // no table of other chunks' sizes
  }
  put(out, "fmt ");
  put(out, 16, 4);
  put(out, 1, 2);  // integer PCM
  put(out, kChannels, 2);
  put(out, kRate, 4);
  put(out, kRate * kBlockAlign, 4);  // bytes per second
  put(out, kBlockAlign, 2);
  put(out, 16, 2);  // bits per sample
  put(out, "data");
  put(out, rf64 ? kUnknown32 : dataBytes, 4);
  return out;
}

}  // namespace sonicsend::cli
