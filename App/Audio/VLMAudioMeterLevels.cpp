#include "VLMAudioMeterLevels.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

VLMAudioMeterLevels::VLMAudioMeterLevels() : ready_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

VLMAudioMeterLevels::~VLMAudioMeterLevels()
{
    if (ready_ >= 0)
        close(ready_);
}

void VLMAudioMeterLevels::signalReady() noexcept
{
    if (ready_ < 0)
        return;
    // Adds to the counter: never blocks, and cannot fail short of 2^64 - 1 signals.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(ready_, &one, sizeof one);
}

void VLMAudioMeterLevels::clearReady() noexcept
{
    if (ready_ < 0)
        return;
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(ready_, &count, sizeof count);  // EAGAIN when not readable
}
