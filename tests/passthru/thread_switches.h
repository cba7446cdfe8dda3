#pragma once

// How often a process's threads have slept and woken so far: the sum of
// voluntary and involuntary context switches of every thread
// (/proc/PID/task/*/status). A daemon that sleeps without a timeout adds
// nothing to it while nobody talks to it; a polling one adds hundreds a
// second.

#include <cstdint>
#include <optional>

#include <sys/types.h>

namespace harlune::testing {

// Nothing when the process is gone or /proc cannot be read.
std::optional<std::uint64_t> ContextSwitchesOf(pid_t pid);

}  // namespace harlune::testing
