// The private test server reads only its own configuration. A machine with
// the driver package installed has the device's fragment in PipeWire's system
// folder; each test stands such a folder over /usr/share/pipewire in a mount
// namespace of its own (nothing outside the test sees it) and starts the
// server there.

#include <gtest/gtest.h>

#include "Support/CommandOutput.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string kDeviceNode = "\"node.name\": \"com.tarnwick.VelmoraStudioConnect.Device\"";

int occurrences(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

class PipeWireTestServer : public testing::Test {
protected:
    void SetUp() override
    {
        if (std::system("unshare -rm --propagation private true 2>/dev/null") != 0)
            GTEST_SKIP() << "this machine allows no mount namespaces (unshare -rm)";
        char tmpl[] = "/tmp/vlm-test-server-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        folder_ = tmpl;
        // PipeWire's packaged folder, as the driver package leaves it.
        fs::copy("/usr/share/pipewire", folder_ / "system", fs::copy_options::recursive);
        fs::create_directories(folder_ / "system/pipewire.conf.d");
        fs::copy_file(fs::path(VLM_SOURCE_DIR) / "Driver/velmora-studio-connect.conf",
                      folder_ / "system/pipewire.conf.d/velmora-studio-connect.conf");
    }

    void TearDown() override
    {
        if (!folder_.empty())
            fs::remove_all(folder_);
    }

    // What pw-dump shows of a server started with `options`, on this machine
    // with the system folder above.
    std::string dumpOfServer(const std::string& options)
    {
        const std::string script = std::string(VLM_SOURCE_DIR) + "/scripts/pipewire-test-server";
        const std::string inside = "mount --bind '" + (folder_ / "system").string() + "' /usr/share/pipewire && '"
                                 + script + "' run '" + (folder_ / "server").string() + "' " + options
                                 + " -- pw-dump";
        return commandOutput("unshare -rm --propagation private sh -c \"" + inside + "\" 2>/dev/null");
    }

    fs::path folder_;
};

TEST_F(PipeWireTestServer, WithoutTheDriverHasNoDeviceEvenWhenTheMachineHasItsPackage)
{
    const std::string dump = dumpOfServer("--without-driver");
    ASSERT_NE(dump.find("\"node.name\": \"test-speakers\""), std::string::npos) << "the server did not run";
    EXPECT_EQ(occurrences(dump, kDeviceNode), 0);
}

TEST_F(PipeWireTestServer, WithTheDriverHasTheOneDeviceItInstalledItself)
{
    const std::string dump = dumpOfServer("");
    ASSERT_NE(dump.find("\"node.name\": \"test-speakers\""), std::string::npos) << "the server did not run";
    EXPECT_EQ(occurrences(dump, kDeviceNode), 1);
}

} // namespace
