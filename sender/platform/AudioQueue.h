// An audio output queue with the shape the sender was designed against, built on an
// AudioDevice. The owner allocates buffers, fills and queues them; once started, the queue's
// own thread plays them in order without a gap and hands each one back through the output
// callback as soon as the device has taken it. A queue without a device (none could be opened
// when it was created, or the one it had went away) keeps its buffers and tries to open one
// about once a second while it runs; property listeners hear when it has one again or loses it.
//
// The functions keep the parameters their callers know even where this queue has no use for
// them: run loops (callbacks always come on the queue's own thread, so they must be null),
// start times (a queue starts as soon as possible), packet descriptions (constant bit rate PCM)
// and inImmediate (stopping is always immediate).
#pragma once

#include "CoreAudioTypes.h"
#include "SoundOutput.h"

namespace sonicsend::platform {

using Boolean = unsigned char;
using AudioQueueParameterID = UInt32;
using AudioQueueParameterValue = float;
using AudioQueuePropertyID = UInt32;

struct OpaqueRunLoop;
struct OpaqueString;
using CFRunLoopRef = OpaqueRunLoop*;
using CFStringRef = const OpaqueString*;
struct AudioTimeStamp;

inline constexpr AudioQueueParameterID kAudioQueueParam_Volume = 1;  // gain, 0 to 1
// UInt32, read only: 1 while the queue has an open device, 0 while it waits for one.
inline constexpr AudioQueuePropertyID kAudioQueueProperty_DeviceIsOpen = 0x6171646F;  // 'aqdo'

inline constexpr OSStatus kAudioQueueErr_InvalidBuffer = -66687;  // not a buffer of this queue
inline constexpr OSStatus kAudioQueueErr_BufferEmpty = -66686;    // queued with 0 bytes
inline constexpr OSStatus kAudioQueueErr_InvalidParameter = -66684;
inline constexpr OSStatus kAudioQueueErr_InvalidProperty = -66682;
inline constexpr OSStatus kAudioQueueErr_InvalidPropertySize = -66681;
inline constexpr OSStatus kAudioQueueErr_BufferInQueue = -66679;    // already queued
inline constexpr OSStatus kAudioQueueErr_InvalidRunState = -66678;  // not from the queue's thread

using AudioQueueOutputCallback = void (*)(void* inUserData, AudioQueueRef inAQ,
                                          AudioQueueBufferRef inBuffer);
using AudioQueuePropertyListenerProc = void (*)(void* inUserData, AudioQueueRef inAQ,
                                                AudioQueuePropertyID inID);

// A new, stopped queue for `inFormat` on a device that `inDevice` opens, now or, when it opens
// none now, once the queue runs. `inUserData` is handed to every callback and is not owned.
// inFlags must be 0.
OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat,
                             AudioQueueOutputCallback inCallbackProc, void* inUserData,
                             CFRunLoopRef inCallbackRunLoop, CFStringRef inCallbackRunLoopMode,
                             UInt32 inFlags, AudioQueueRef* outAQ,
                             const AudioDeviceFactory& inDevice);

// A buffer of `inBufferByteSize` bytes owned by the queue until it is disposed of.
OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize,
                                  AudioQueueBufferRef* outBuffer);

// Plays the first mAudioDataByteSize bytes of the buffer after what is already queued.
OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer,
                                 UInt32 inNumPacketDescs,
                                 const AudioStreamPacketDescription* inPacketDescs);

OSStatus AudioQueueSetParameter(AudioQueueRef inAQ, AudioQueueParameterID inParamID,
                                AudioQueueParameterValue inValue);

// Reads a property into `outData`, whose size `ioDataSize` gives.
OSStatus AudioQueueGetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, void* outData,
                               UInt32* ioDataSize);

// Calls `inProc` on the queue's own thread each time the property changes; the queue holds one
// listener. Before AudioQueueStart.
OSStatus AudioQueueAddPropertyListener(AudioQueueRef inAQ, AudioQueuePropertyID inID,
                                       AudioQueuePropertyListenerProc inProc, void* inUserData);

// Starts playing what is queued, as soon as possible; inStartTime must be null.
OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime);

// Stops at once: pending buffers are dropped (they stay allocated and may be queued again) and
// the device's own backlog is thrown away. Returns once no callback or listener call of this
// queue can follow.
// Called from the queue's own callback, it returns at once and the queue stops after that
// callback.
OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean inImmediate);

// Stops the queue, then frees it, its buffers and its device. Not from its own callback.
OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean inImmediate);

}  // namespace sonicsend::platform
