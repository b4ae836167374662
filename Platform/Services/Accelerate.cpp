#include "Accelerate.h"

#include <cmath>
#include <limits>

void vDSP_maxmgv(const float* A, vDSP_Stride IA, float* C, vDSP_Length N)
{
    // Independent lanes without branches: the compiler turns each group into
    // vector max and compare instructions.
    constexpr std::size_t kLanes = 8;
    float maximum[kLanes] = {};
    unsigned nan[kLanes] = {};
    std::size_t n = 0;
    if (IA == 1) {
        for (; n + kLanes <= N; n += kLanes) {
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                const float magnitude = std::fabs(A[n + lane]);
                maximum[lane] = magnitude > maximum[lane] ? magnitude : maximum[lane];
                nan[lane] |= unsigned(magnitude != magnitude);
            }
        }
    }
    for (; n < N; ++n) {
        const float magnitude = std::fabs(A[std::ptrdiff_t(n) * IA]);
        maximum[0] = magnitude > maximum[0] ? magnitude : maximum[0];
        nan[0] |= unsigned(magnitude != magnitude);
    }

    float result = 0.0f;
    unsigned anyNaN = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        result = maximum[lane] > result ? maximum[lane] : result;
        anyNaN |= nan[lane];
    }
    *C = anyNaN ? std::numeric_limits<float>::quiet_NaN() : result;
}
