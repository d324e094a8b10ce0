// SPDX-License-Identifier: MIT
#pragma once

// PEMDOR_TICK_PATH marks a function that runs on every tick of a sampling run: the timer
// thread's loop and sleep, the simulated device's tick, the collector's handlers. After 100 ms
// asleep the code of a tick is cold, and on a virtual machine every distinct page of code that a
// wake-up executes costs hundreds of cycles on top of its cache lines. GCC (and clang from 15)
// place hot functions together in .text.hot, so that a tick runs from a few pages instead of one
// or two per file it passes through.
#if defined(__GNUC__) || defined(__clang__)
#define PEMDOR_TICK_PATH [[gnu::hot]]
#else
#define PEMDOR_TICK_PATH
#endif
