// Level meters: a tap on each source's mixer measures the peak on the
// engine's tap thread and leaves only the number in the router's level slots;
// the meters take the newest one when they draw a frame. The tap thread thus
// neither allocates nor locks per buffer, and the main thread is woken only
// for levels that change what the meters show.

#include "VLMAudioRouter.h"

#include "AVAudioEngine.h"
#include "Accelerate.h"
#include "VLMAudioMeterLevels.h"
#include "VLMAudioRouterGraph.h"

#include <cmath>

void VLMAudioRouter::installMeterTap(AVAudioMixerNode& on, VLMAudioSource source)
{
    const std::int64_t generation = meterGeneration;
    on.installTapOnBus(0, meterTapFrames, nullptr,
                       [levels = meterLevels_, generation, source, shows = meterShows_, shownBefore = -1](
                           const std::shared_ptr<AVAudioPCMBuffer>& buffer, const AVAudioTime&) mutable {
                           const float level = meterLevel(*buffer);
                           // Without a rule for what the meters show, every level may change it.
                           const int shown = shows ? shows(level) : shownBefore + 1;
                           levels->store(source, generation, level, shown != shownBefore);
                           shownBefore = shown;
                       });
}

void VLMAudioRouter::setMeterShows(int (*shows)(float level)) { meterShows_ = shows; }

int VLMAudioRouter::meterLevelsReadyDescriptor() const { return meterLevels_->readyDescriptor(); }

void VLMAudioRouter::deliverMeterLevels()
{
    meterLevels_->clearReady();  // before taking: a level stored after this signals again
    for (const VLMAudioSource source : {VLMAudioSource::velmora, VLMAudioSource::microphone}) {
        const std::optional<float> level = meterLevels_->take(source, meterGeneration);
        if (!level)
            continue;
        if (auto listener = delegate.lock())
            listener->audioRouter(*this, *level, source);
    }
}

void VLMAudioRouter::setMetersShown(bool shown)
{
    if (shown == metersShown_)
        return;
    metersShown_ = shown;
    if (shown) {
        for (const VLMAudioSource source : {VLMAudioSource::velmora, VLMAudioSource::microphone})
            meterLevels_->take(source, meterGeneration);
        // The last level the taps stored may never have been shown.
        meterLevels_->expectNews();
    }
    if (graph_ && graph_->engine)
        graph_->engine->setTapsPaused(!shown);
}

bool VLMAudioRouter::meterLevelWaiting(VLMAudioSource source) const { return meterLevels_->holdsLevel(source); }

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
