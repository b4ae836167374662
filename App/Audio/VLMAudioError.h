#pragma once
// The one error type of every audio operation: device queries, the two
// capture sources and the router's audio-graph start-up. Each value renders
// one English sentence for the user (errorDescription(), also what()).

#include "AudioHardware/CoreAudioTypes.h"

#include <exception>
#include <string>

class VLMAudioError : public std::exception {
public:
    enum class Kind { unsupportedSampleRate, operationFailed, audioDeviceNotInstalled, microphoneUnavailable };

    // The captured audio runs at a rate the router does not accept.
    static VLMAudioError unsupportedSampleRate(double sampleRate);
    // A platform audio call failed (or gave nothing back) during `context`,
    // a short step description without trailing punctuation.
    static VLMAudioError operationFailed(std::string context, OSStatus status);
    // The virtual output device is not installed.
    static VLMAudioError audioDeviceNotInstalled();
    // No usable microphone: gone, none listed, or without input streams.
    static VLMAudioError microphoneUnavailable();

    Kind kind() const noexcept { return kind_; }
    // The payload of unsupportedSampleRate; 0 for the other kinds.
    double sampleRate() const noexcept { return sampleRate_; }
    // The payload of operationFailed; empty and 0 for the other kinds.
    const std::string& context() const noexcept { return context_; }
    OSStatus status() const noexcept { return status_; }

    std::string errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // Same kind and same payload (rates compare as numbers, so a NaN rate
    // equals nothing).
    friend bool operator==(const VLMAudioError& a, const VLMAudioError& b) noexcept
    {
        return a.kind_ == b.kind_ && a.sampleRate_ == b.sampleRate_ && a.context_ == b.context_
            && a.status_ == b.status_;
    }

private:
    VLMAudioError(Kind kind, double sampleRate, std::string context, OSStatus status);

    // A status as its four-character code in double quotes when all four
    // bytes are printable ASCII, otherwise as a signed decimal number.
    static std::string statusDescription(OSStatus status);

    Kind kind_;
    double sampleRate_;
    std::string context_;
    OSStatus status_;
    // Built once, so what() can hand out a pointer that lives as long as the value.
    std::string description_;
};
