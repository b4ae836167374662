// The two gains: applied to the running mixers, kept in the user defaults.

#include "VLMAudioRouter.h"

#include "NSUserDefaults.h"
#include "VLMAudioRouterGraph.h"

#include <cmath>

namespace {

constexpr const char* velmoraVolumeKey = "VLMVelmoraVolume";
constexpr const char* microphoneVolumeKey = "VLMMicrophoneVolume";
constexpr const char* gainDefaultsVersionKey = "VLMGainDefaultsVersion";
constexpr long currentGainDefaultsVersion = 1;

// A stored gain, or the default when none is stored. A value that is not a
// finite number (a hand-edited file) would poison the whole mix: default too.
float storedGain(NSUserDefaults& defaults, const char* key)
{
    if (!defaults.objectForKey(key))
        return VLMAudioRouter::defaultVolume;
    const float gain = defaults.floatForKey(key);
    return std::isfinite(gain) ? gain : VLMAudioRouter::defaultVolume;
}

} // namespace

void VLMAudioRouter::loadGains()
{
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    if (defaults.integerForKey(gainDefaultsVersionKey) < currentGainDefaultsVersion) {
        velmoraVolume_ = defaultVolume;
        microphoneVolume_ = defaultVolume;
        defaults.setFloat(defaultVolume, velmoraVolumeKey);
        defaults.setFloat(defaultVolume, microphoneVolumeKey);
        defaults.setInteger(currentGainDefaultsVersion, gainDefaultsVersionKey);
        return;
    }
    velmoraVolume_ = storedGain(defaults, velmoraVolumeKey);
    microphoneVolume_ = storedGain(defaults, microphoneVolumeKey);
}

void VLMAudioRouter::setVelmoraVolume(float volume)
{
    velmoraVolume_ = volume;
    if (graph_)
        graph_->velmoraMixer->setOutputVolume(volume);
    NSUserDefaults::standardUserDefaults().setFloat(volume, velmoraVolumeKey);
}

void VLMAudioRouter::setMicrophoneVolume(float volume)
{
    microphoneVolume_ = volume;
    if (graph_)
        graph_->microphoneMixer->setOutputVolume(volume);
    NSUserDefaults::standardUserDefaults().setFloat(volume, microphoneVolumeKey);
}
