// How Python sees a host thread other than the home thread: one thread
// across all its calls (threads.cpp keeps its thread state), named
// host-thread-N, and given the trace and profile hooks that threading gives
// the threads it starts.
#pragma once

#include <cstdint>

// With the main interpreter's lock held and the thread's own state current,
// at an outermost call: names the thread once, and gives it the hooks that
// threading.settrace and threading.setprofile set, where they changed since
// its last call. An error pending in the state is left as it was.
void AdoptHostThread(uint32_t generation);

// As the thread ends (no lock needed): the hooks it holds are given back on
// a host thread.
void ForgetHostThreadHooks(uint32_t generation);

// At Init, on the home thread: threading knows the thread that imports it
// first as the main thread, so it is imported there, before any host
// thread's code can.
void ImportThreadingAtInit();
