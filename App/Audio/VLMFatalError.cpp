#include "VLMFatalError.h"

#include <cstdio>
#include <cstdlib>

void VLMFatalError(const char* message)
{
    std::fprintf(stderr, "Fatal error: %s\n", message);
    std::fflush(stderr);
    std::abort();
}
