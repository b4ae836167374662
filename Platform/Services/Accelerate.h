#pragma once
// The vector routines of the platform's Accelerate framework that the program uses.

#include <cstddef>

using vDSP_Stride = std::ptrdiff_t;
using vDSP_Length = std::size_t;

// *C = the largest |A[n × IA]| for n < N; 0 when N is 0. A NaN anywhere makes
// the result NaN, so a corrupt signal is not mistaken for a quiet one.
void vDSP_maxmgv(const float* A, vDSP_Stride IA, float* C, vDSP_Length N);
