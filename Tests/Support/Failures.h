#pragma once

#include "VLMAudioError.h"

#include <functional>
#include <string>

// The description of the VLMAudioError that `operation` throws, or "no error".
inline std::string audioErrorOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const VLMAudioError& error) {
        return error.errorDescription();
    }
    return "no error";
}
