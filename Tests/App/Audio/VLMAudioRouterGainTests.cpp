// The two gains: first launch, migration, partial and corrupt keys, and how a
// change reaches the running mix and the user defaults.

#include "NSUserDefaults.h"
#include "Support/RouterTest.h"

#include <cmath>
#include <limits>

namespace {

constexpr const char* velmoraKey = "VLMVelmoraVolume";
constexpr const char* microphoneKey = "VLMMicrophoneVolume";
constexpr const char* versionKey = "VLMGainDefaultsVersion";

class VLMAudioRouterGainTest : public RouterTest {
protected:
    NSUserDefaults& store = NSUserDefaults::standardUserDefaults();
};

TEST_F(VLMAudioRouterGainTest, FirstLaunchStoresTheDefaults)
{
    makeRouter();
    EXPECT_EQ(router->velmoraVolume(), 0.8f);
    EXPECT_EQ(router->microphoneVolume(), 0.8f);
    EXPECT_EQ(store.floatForKey(velmoraKey), 0.8f);
    EXPECT_EQ(store.floatForKey(microphoneKey), 0.8f);
    EXPECT_EQ(store.integerForKey(versionKey), 1);
}

TEST_F(VLMAudioRouterGainTest, GainsFromBeforeTheMigrationAreReset)
{
    for (std::int64_t oldVersion : {0, -1}) {
        store.setInteger(oldVersion, versionKey);
        store.setFloat(0.3f, velmoraKey);
        store.setFloat(0.5f, microphoneKey);
        makeRouter();
        EXPECT_EQ(router->velmoraVolume(), 0.8f);
        EXPECT_EQ(router->microphoneVolume(), 0.8f);
        EXPECT_EQ(store.floatForKey(velmoraKey), 0.8f);
        EXPECT_EQ(store.integerForKey(versionKey), 1);
    }
}

TEST_F(VLMAudioRouterGainTest, MigratedGainsLoadAsStoredAndMissingOnesDefaultWithoutWriting)
{
    store.setInteger(1, versionKey);
    store.setFloat(0.25f, microphoneKey);
    makeRouter();
    EXPECT_EQ(router->velmoraVolume(), 0.8f);
    EXPECT_EQ(router->microphoneVolume(), 0.25f);
    EXPECT_FALSE(store.objectForKey(velmoraKey)) << "a missing gain is not written back";
}

TEST_F(VLMAudioRouterGainTest, AGainThatIsNotAFiniteNumberLoadsAsTheDefault)
{
    store.setInteger(1, versionKey);
    store.setFloat(std::numeric_limits<float>::quiet_NaN(), velmoraKey);
    store.setFloat(std::numeric_limits<float>::infinity(), microphoneKey);
    makeRouter();
    EXPECT_EQ(router->velmoraVolume(), 0.8f);
    EXPECT_EQ(router->microphoneVolume(), 0.8f);
}

TEST_F(VLMAudioRouterGainTest, ChangesAreStoredAndSurviveARestart)
{
    makeRouter();
    router->setVelmoraVolume(0.5f);
    router->setMicrophoneVolume(0.0f);
    EXPECT_EQ(store.floatForKey(velmoraKey), 0.5f);
    router.reset();
    store.synchronize();
    makeRouter();
    EXPECT_EQ(router->velmoraVolume(), 0.5f);
    EXPECT_EQ(router->microphoneVolume(), 0.0f);
}

TEST_F(VLMAudioRouterGainTest, AGainSetWithoutAGraphAppliesAtTheNextStart)
{
    system->removeDevice(virtualDevice);
    makeRouter().start();
    ASSERT_EQ(router->status(), VLMAudioRouterStatus::driverMissing());
    router->setMicrophoneVolume(0.25f);
    EXPECT_EQ(store.floatForKey(microphoneKey), 0.25f);
    virtualDevice = addVirtualDevice();
    router->start();
    ASSERT_EQ(router->status(), VLMAudioRouterStatus::ready());
    EXPECT_EQ(router->microphoneVolume(), 0.25f);
}

} // namespace
