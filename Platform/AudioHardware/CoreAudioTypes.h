#pragma once
// The audio object model's basic types and constants, under their platform
// names and with the platform's layouts.

#include <cstddef>
#include <cstdint>

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
using AudioFormatID = std::uint32_t;
using AudioFormatFlags = std::uint32_t;

// A four-character code as the platform spells it: the bytes read big-endian.
constexpr std::uint32_t FourCC(const char (&code)[5])
{
    return (std::uint32_t(std::uint8_t(code[0])) << 24) | (std::uint32_t(std::uint8_t(code[1])) << 16)
         | (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};

constexpr bool operator==(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b)
{
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

struct AudioStreamBasicDescription {
    double mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    std::uint32_t mBytesPerPacket;
    std::uint32_t mFramesPerPacket;
    std::uint32_t mBytesPerFrame;
    std::uint32_t mChannelsPerFrame;
    std::uint32_t mBitsPerChannel;
    std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
    std::uint32_t mNumberChannels;
    std::uint32_t mDataByteSize;
    void* mData;
};

// A variable-length record: mNumberBuffers entries follow, of which the
// declaration shows the first. Allocate with AudioBufferListSize().
struct AudioBufferList {
    std::uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};

constexpr std::size_t AudioBufferListSize(std::uint32_t numberBuffers)
{
    return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (numberBuffers ? numberBuffers : 1);
}

struct SMPTETime {
    std::int16_t mSubframes, mSubframeDivisor;
    std::uint32_t mCounter, mType, mFlags;
    std::int16_t mHours, mMinutes, mSeconds, mFrames;
};

struct AudioTimeStamp {
    double mSampleTime;
    std::uint64_t mHostTime;
    double mRateScalar;
    std::uint64_t mWordClockTime;
    SMPTETime mSMPTETime;
    std::uint32_t mFlags;
    std::uint32_t mReserved;
};

enum : std::uint32_t {
    kAudioTimeStampSampleTimeValid = 1u << 0,
    kAudioTimeStampHostTimeValid = 1u << 1,
};

struct OpaqueAudioDeviceIOProc;
using AudioDeviceIOProcID = OpaqueAudioDeviceIOProc*;

// Which streams of a device an IOProc uses: the IOProc, a count, then one
// flag per stream. The declaration shows the first flag; the record is
// 12 + 4 × count bytes long.
#pragma pack(push, 4)
struct AudioHardwareIOProcStreamUsage {
    void* mIOProc;
    std::uint32_t mNumberStreams;
    std::uint32_t mStreamIsOn[1];
};
#pragma pack(pop)
static_assert(offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) == 12);

// Statuses.
constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudio_ParamError = -50;
constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(FourCC("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(FourCC("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(FourCC("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(FourCC("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(FourCC("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(FourCC("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(FourCC("!dev"));
constexpr OSStatus kAudioHardwareBadStreamError = OSStatus(FourCC("!str"));
constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(FourCC("unop"));
constexpr OSStatus kAudioDeviceUnsupportedFormatError = OSStatus(FourCC("!dat"));
constexpr OSStatus kAudioDevicePermissionsError = OSStatus(FourCC("!hog"));

// Objects, scopes and elements.
constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = FourCC("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = FourCC("inpt");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = FourCC("outp");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

// Selectors.
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = FourCC("dev#");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = FourCC("dIn ");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = FourCC("dOut");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslateUIDToDevice = FourCC("uidd");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = FourCC("lnam");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = FourCC("uid ");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = FourCC("stm#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = FourCC("nsrt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize = FourCC("fsiz");
constexpr AudioObjectPropertySelector kAudioDevicePropertyIOProcStreamUsage = FourCC("suse");
constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat = FourCC("sfmt");
constexpr AudioObjectPropertySelector kAudioTapPropertyUID = FourCC("tuid");
constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = FourCC("tfmt");
// Not a platform property: on the system object, whether the process's
// running IO has stopped getting cycles from the audio server (a UInt32 of
// the values below). Backends whose IO cannot stall do not answer it.
constexpr AudioObjectPropertySelector kAudioHardwarePropertyIOStall = FourCC("stal");
enum : std::uint32_t {
    kAudioHardwareIORunning = 0,
    kAudioHardwareIOSilent = 1,   // no cycle for a moment: nothing is heard
    kAudioHardwareIOStalled = 2,  // no cycle for longer than a hiccup lasts
};

// Formats.
constexpr AudioFormatID kAudioFormatLinearPCM = FourCC("lpcm");
constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1u << 3;
constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1u << 5;
constexpr AudioFormatFlags kAudioFormatFlagsNativeFloatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

// 32-bit float PCM with `channels` interleaved channels at `rate`.
constexpr AudioStreamBasicDescription AudioStreamBasicDescriptionFloat32(double rate, std::uint32_t channels)
{
    return {rate, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 4 * channels, 1, 4 * channels,
            channels, 32, 0};
}
