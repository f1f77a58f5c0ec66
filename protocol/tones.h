// The acoustic protocol's constants: message layout, frames, symbols and the tone table.
// Shared by the sender and by any receiver; holds no code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sonicsend {

inline constexpr int kSampleRate = 44100;

// Message: built into a zero-filled 100-byte buffer, at most 96 bytes long (12 whole frames).
inline constexpr std::size_t kMessageBufferBytes = 100;
inline constexpr int kMaxMessageBytes = 96;
inline constexpr std::uint8_t kFramedSeparator = 0x1F;
inline constexpr std::uint8_t kBareSeparator = 0x0D;
inline constexpr std::uint8_t kHeaderFlag = 0x80;
// Longest SSID + key, in UTF-16 code units, that each layout fits into kMaxMessageBytes.
inline constexpr int kMaxFramedCredentialUnits = kMaxMessageBytes - 3;  // header, separator, sum
inline constexpr int kMaxBareCredentialUnits = kMaxMessageBytes - 1;    // separator

// Frame: number (1-based), 8 message bytes, check byte (bit 7 set).
inline constexpr int kFrameBytes = 10;
inline constexpr int kFramePayloadBytes = 8;
inline constexpr std::uint8_t kFrameCheckFlag = 0x80;

// Symbol: one frame byte, sounded for 2560 samples.
inline constexpr int kSymbolSamples = 2560;
inline constexpr int kFrameSamples = kSymbolSamples * kFrameBytes;  // 25 600
inline constexpr int kSignalCapacity = 409600;                      // samples the sender holds
inline constexpr int kMaxSignalSamples = kMaxMessageBytes / kFramePayloadBytes * kFrameSamples;

// Tones: cosines at k x 172.266 Hz. The angular frequencies are the exact double constants
// that listening devices were built against; computing them from 2*pi*k*172.266 is one bit
// off for some tones, so they are written out digit for digit.
inline constexpr double kCarrierAmplitude = 0.05;
inline constexpr double kToneAmplitude = 0.1;

inline constexpr int kCarrierEvenK = 8;
inline constexpr int kCarrierOddK = 13;
inline constexpr int kParityK = 18;
inline constexpr std::array<int, 8> kBitToneK = {9, 10, 11, 12, 14, 15, 16, 17};

inline constexpr double kOmegaCarrierEven = 8659.033601012788;
inline constexpr double kOmegaCarrierOdd = 14070.929601645781;
inline constexpr double kOmegaParity = 19482.825602278775;
inline constexpr std::array<double, 8> kOmegaBit = {
    9741.412801139388,   // bit 0, k = 9
    10823.792001265985,  // bit 1, k = 10
    11906.171201392584,  // bit 2, k = 11
    12988.550401519184,  // bit 3, k = 12
    15153.30880177238,   // bit 4, k = 14
    16235.688001898978,  // bit 5, k = 15
    17318.067202025577,  // bit 6, k = 16
    18400.446402152174,  // bit 7, k = 17
};

// PCM: 16-bit signed, two equal channels, little-endian; scale 32767.
inline constexpr int kPcmChannels = 2;
inline constexpr int kPcmBytesPerFrame = 4;
inline constexpr float kPcmScale = 32767.0f;

}  // namespace sonicsend
