#pragma once

#include <string>
#include <utility>

// Which source a level or a gain belongs to.
enum class VLMAudioSource {
    velmora,     // the captured music of Velmora Studio and Apple Music
    microphone,  // the chosen microphone
};

// The router's status. Two failures are equal when their messages are.
class VLMAudioRouterStatus {
public:
    enum class Kind { failed, starting, ready, driverMissing, microphonePermissionDenied };

    static VLMAudioRouterStatus failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static VLMAudioRouterStatus starting() { return {Kind::starting, {}}; }
    static VLMAudioRouterStatus ready() { return {Kind::ready, {}}; }
    static VLMAudioRouterStatus driverMissing() { return {Kind::driverMissing, {}}; }
    static VLMAudioRouterStatus microphonePermissionDenied() { return {Kind::microphonePermissionDenied, {}}; }

    Kind kind() const { return kind_; }
    // The failure's message; empty for every other kind.
    const std::string& message() const { return message_; }

    friend bool operator==(const VLMAudioRouterStatus&, const VLMAudioRouterStatus&) = default;

private:
    VLMAudioRouterStatus(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
};
