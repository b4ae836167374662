#include "NSUserDefaults.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace {

class UserDefaults : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(directory.isValid());
        NSUserDefaults::useFileForTesting(path());
    }
    void TearDown() override { NSUserDefaults::useFileForTesting({}); }
    std::string path() const { return directory.filePath("defaults.ini").toStdString(); }

    // A new process's view: the same file, opened afresh.
    void reopen()
    {
        defaults.synchronize();
        NSUserDefaults::useFileForTesting(path());
    }

    QTemporaryDir directory;
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
};

} // namespace

TEST_F(UserDefaults, HandEditedTextIsReadAsThePlatformWould)
{
    {
        std::ofstream file(path());
        file << "[General]\nVLMVelmoraVolume=nan\nVLMMicrophoneVolume=inf\nVLMGainDefaultsVersion=2abc\n"
                "VLMManualGainAdjustment=YES\nOther=hello\n";
    }
    NSUserDefaults::useFileForTesting(path());
    EXPECT_TRUE(std::isnan(defaults.floatForKey("VLMVelmoraVolume")));
    EXPECT_TRUE(std::isinf(defaults.floatForKey("VLMMicrophoneVolume")));
    EXPECT_EQ(defaults.integerForKey("VLMGainDefaultsVersion"), 2);
    EXPECT_TRUE(defaults.boolForKey("VLMManualGainAdjustment"));
    EXPECT_EQ(defaults.floatForKey("Other"), 0.0f);
    EXPECT_EQ(defaults.integerForKey("VLMVelmoraVolume"), 0);  // NaN has no integer value
    EXPECT_EQ(defaults.stringForKey("Other"), "hello");
}
