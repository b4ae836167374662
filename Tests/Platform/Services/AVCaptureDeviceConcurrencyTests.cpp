// Permission answers come from the backend, the request's on another thread.

#include "AVCaptureDevice.h"
#include "SimulatedAudioSystem.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

TEST(AVCaptureDevice, ForwardsToTheInstalledBackend)
{
    auto system = std::make_shared<SimulatedAudioSystem>();
    AudioHardwareInstallBackend(system);
    for (auto status : {AVAuthorizationStatus::notDetermined, AVAuthorizationStatus::restricted,
                        AVAuthorizationStatus::denied, AVAuthorizationStatus::authorized}) {
        system->setMicrophoneAuthorization(status);
        EXPECT_EQ(AVCaptureDevice::authorizationStatus(AVMediaTypeAudio), status);
    }
    EXPECT_EQ(AVCaptureDevice::authorizationStatus(AVMediaTypeVideo), AVAuthorizationStatus::restricted);

    system->setMicrophoneAuthorization(AVAuthorizationStatus::notDetermined);
    system->setMicrophoneAccessAnswer(false);
    std::promise<std::pair<bool, std::thread::id>> answer;
    AVCaptureDevice::requestAccess(AVMediaTypeAudio, [&](bool granted) {
        answer.set_value({granted, std::this_thread::get_id()});
    });
    auto future = answer.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [granted, thread] = future.get();
    EXPECT_FALSE(granted);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(system->microphoneAccessRequests(), 1);
    EXPECT_EQ(AVCaptureDevice::authorizationStatus(AVMediaTypeAudio), AVAuthorizationStatus::denied);

    AudioHardwareInstallBackend(nullptr);
    system.reset();
}
