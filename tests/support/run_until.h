#pragma once
// Runs the Qt event loop of the test until a condition holds or a time-out passes.

#include <functional>

namespace drvnt::testing {

// True when `done` held before `timeoutMs` had passed.
bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Runs the loop for `ms` milliseconds.
void RunFor(int ms);

}  // namespace drvnt::testing
