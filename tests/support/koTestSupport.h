#pragma once

// Helpers shared by the tests.

#include <chrono>
#include <functional>

namespace koTest {

// Polls `condition` every few milliseconds until it holds or `timeout` passes;
// returns its last value. Used instead of fixed sleeps.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace koTest
