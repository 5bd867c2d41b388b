// The converter's one way of spreading work over threads.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

namespace conv {

// Calls share(i) once for every i in [0, count) on up to `threads` threads, the
// calling thread among them; whichever thread is free takes the next i, in
// order. Returns when every thread has ended.
//
// What goes wrong stays with the caller:
//  - a thread that cannot be started leaves its part to the threads that did
//    start (at worst the caller does every share itself);
//  - an exception from any share, the caller's own included, stops shares not
//    yet begun from being begun; once every thread has ended, the first such
//    exception is rethrown here, as it was (std::bad_alloc stays bad_alloc).
void parallelFor(size_t count, int threads, const std::function<void(size_t)>& share);

// The same with the way a thread is started given; parallelFor uses
// std::thread's constructor. (Tests pass one that fails.)
using ThreadStarter = std::thread (*)(std::function<void()> body);
void parallelFor(size_t count, int threads, const std::function<void(size_t)>& share, ThreadStarter start);

}  // namespace conv
