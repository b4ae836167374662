#pragma once

#include <chrono>
#include <functional>

// Runs main-queue jobs until `condition` holds or `timeout` passes; returns
// whether it holds. Use instead of sleeping: it returns as soon as it can.
bool runMainQueueUntil(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs every main-queue job queued so far (and those they queue).
void drainMainQueue();
