// Level meters: a tap on each source's mixer measures the peak on the
// engine's tap thread; only the number hops to the main queue.

#include "VLMAudioRouter.h"

#include "AVAudioEngine.h"
#include "Accelerate.h"

#include <cmath>

void VLMAudioRouter::installMeterTap(AVAudioMixerNode& on, VLMAudioSource source)
{
    const std::int64_t generation = meterGeneration;
    const std::weak_ptr<VLMAudioRouter> weakRouter = weak_from_this();
    on.installTapOnBus(0, 1024, nullptr, [weakRouter, generation, source](const std::shared_ptr<AVAudioPCMBuffer>& buffer,
                                                                          const AVAudioTime&) {
        const float level = meterLevel(*buffer);
        dispatch_async(dispatch_get_main_queue(), [weakRouter, generation, level, source] {
            auto router = weakRouter.lock();
            if (!router || router->meterGeneration != generation)
                return;
            if (auto listener = router->delegate.lock())
                listener->audioRouter(*router, level, source);
        });
    });
}

float VLMAudioRouter::meterLevel(const AVAudioPCMBuffer& buffer)
{
    float* const* channels = buffer.floatChannelData();
    const AVAudioFrameCount frames = buffer.frameLength();
    const AVAudioChannelCount channelCount = buffer.format() ? buffer.format()->channelCount() : 0;
    if (!channels || frames == 0 || channelCount == 0)
        return 0.0f;

    float peak = 0.0f;
    for (AVAudioChannelCount c = 0; c < channelCount; ++c) {
        float channelPeak = 0.0f;
        vDSP_maxmgv(channels[c], 1, &channelPeak, frames);
        if (peak <= channelPeak)  // false for NaN: such a channel leaves the peak alone
            peak = channelPeak;
    }
    if (!(peak > 0.0f))
        return 0.0f;

    const float level = (20.0f * std::log10(peak) + 60.0f) / 60.0f;
    if (!(level > 0.0f))
        return 0.0f;
    return level > 1.0f ? 1.0f : level;
}
