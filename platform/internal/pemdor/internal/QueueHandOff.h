// SPDX-License-Identifier: MIT
#pragma once

// How a provider's own thread hands a task to a queue without waking another thread for it.

#include "pemdor/platform/Dispatch.h"

namespace pemdor::internal {

// Runs `task` on the calling thread, as one of `queue`'s jobs, when `queue` is a global or work
// queue of a real dispatcher that could start it at once: nothing waits before it and a job slot
// is free, so the queue's order and concurrency limit hold. Otherwise posts it as
// queue.async() does. For a provider thread that has just woken to make a reading: posting would
// wake a pool thread as well, a second wake-up for every tick. The caller holds no lock, since
// the task runs host code, and accepts that its own work waits until the task returns. The main
// queue and queues of other dispatchers always get the task posted.
void runHereOrAsync(DispatchQueue& queue, Task task);

}  // namespace pemdor::internal
