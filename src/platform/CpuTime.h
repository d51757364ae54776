#pragma once
// Processor time the process has used, for measuring what playback threads
// cost (benchmarks, statistics).

namespace al::platform {

// User plus system processor time of the whole process so far, in seconds;
// 0 when the system cannot say. Any thread; never throws.
double processCpuSeconds() noexcept;

// The same for the calling thread alone (so one thread's share can be told
// apart from the rest of the process). Any thread; never throws.
double threadCpuSeconds() noexcept;

}  // namespace al::platform
