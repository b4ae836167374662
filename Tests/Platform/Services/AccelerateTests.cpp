#include "Accelerate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {
float maxmgv(const std::vector<float>& a, vDSP_Stride stride = 1, std::size_t n = std::size_t(-1))
{
    if (n == std::size_t(-1))
        n = a.size();
    float c = -1.0f;
    vDSP_maxmgv(a.data(), stride, &c, n);
    return c;
}
} // namespace

TEST(vDSP_maxmgv, LargestMagnitudeWhereverItIs)
{
    // Lengths around the vector width, with the peak at every position and of either sign.
    for (std::size_t length : {1u, 7u, 8u, 9u, 31u, 1024u}) {
        for (std::size_t at = 0; at < length; at += std::max<std::size_t>(1, length / 5)) {
            std::vector<float> a(length, 0.25f);
            a[at] = at % 2 ? -0.75f : 0.75f;
            ASSERT_EQ(maxmgv(a), 0.75f) << length << " " << at;
        }
    }
    EXPECT_EQ(maxmgv({-3.0f, std::numeric_limits<float>::infinity() * -1.0f}), std::numeric_limits<float>::infinity());
}

TEST(vDSP_maxmgv, EmptyIsZeroAndStrideSkips)
{
    EXPECT_EQ(maxmgv({}, 1, 0), 0.0f);
    EXPECT_EQ(maxmgv({0.1f, -9.0f, 0.2f, 9.5f, -0.3f}, 2, 3), 0.3f);  // 0.1, 0.2, -0.3
    const std::vector<float> a{0.1f, -9.0f, 0.2f, 9.5f, -0.3f};
    float c = 0;
    vDSP_maxmgv(a.data() + 4, -2, &c, 3);  // -0.3, 0.2, 0.1
    EXPECT_EQ(c, 0.3f);
}

TEST(vDSP_maxmgv, NaNAnywhereMakesTheResultNaN)
{
    for (std::size_t at : {0u, 5u, 16u, 18u}) {
        std::vector<float> a(19, 0.5f);
        a[at] = std::nanf("");
        EXPECT_TRUE(std::isnan(maxmgv(a))) << at;
    }
}
