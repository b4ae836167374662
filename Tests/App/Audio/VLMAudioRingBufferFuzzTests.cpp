// Runs the ring buffer's fuzz target (Tests/Fuzz) over a fixed set of
// pseudo-random inputs, so every test run (and the AddressSanitizer run in CI)
// drives odd layouts through it, not only the fuzzing sessions. A broken rule
// aborts with a message.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(VLMAudioRingBufferFuzz, SeededInputsKeepTheRule)
{
    std::mt19937 random(0x5eed);
    std::vector<std::uint8_t> input;
    for (int run = 0; run < 3000; ++run) {
        input.resize(random() % 600);
        for (std::uint8_t& byte : input)
            byte = std::uint8_t(random());
        ASSERT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0) << "input " << run;
    }
}

TEST(VLMAudioRingBufferFuzz, EmptyAndTinyInputs)
{
    const std::uint8_t bytes[] = {0, 1, 2, 3};
    for (std::size_t size = 0; size <= sizeof bytes; ++size)
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes, size), 0);
}

} // namespace
