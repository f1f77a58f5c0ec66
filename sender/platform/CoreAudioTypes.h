// Audio types with the shapes the sender was designed against: stream description,
// packet description, queue and buffer handles. The queue behind the handles is ours
// (AudioQueue.h). They live in sonicsend::platform so that they never clash with a
// consumer's own names.
#pragma once

#include <cstdint>

namespace sonicsend::platform {

using OSStatus = std::int32_t;
using UInt32 = std::uint32_t;
using SInt64 = std::int64_t;
using Float64 = double;

inline constexpr OSStatus noErr = 0;

inline constexpr UInt32 kAudioFormatLinearPCM = 1819304813;  // 'lpcm'
inline constexpr UInt32 kLinearPCMFormatFlagIsSignedInteger = 4;
inline constexpr UInt32 kLinearPCMFormatFlagIsPacked = 8;

struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID;
  UInt32 mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
};

struct AudioStreamPacketDescription {
  SInt64 mStartOffset;
  UInt32 mVariableFramesInPacket;
  UInt32 mDataByteSize;
};

// A queue buffer: the owner writes mAudioData and sets mAudioDataByteSize before queueing it.
struct AudioQueueBuffer {
  const UInt32 mAudioDataBytesCapacity;
  void* const mAudioData;
  UInt32 mAudioDataByteSize;
  void* mUserData;
};

struct OpaqueAudioQueue;
struct OpaqueAudioFileID;
using AudioQueueRef = OpaqueAudioQueue*;
using AudioQueueBufferRef = AudioQueueBuffer*;
using AudioFileID = OpaqueAudioFileID*;

}  // namespace sonicsend::platform
