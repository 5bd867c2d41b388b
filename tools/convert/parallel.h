// The converter's one way of spreading work over threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// Runs work(first, last) over `rows` split into one band per thread (all of
// them on the calling thread when there are fewer than 64); an exception in
// any band is rethrown here once every band has finished.
void runInBands(uint32_t rows, int threads, const auto& work) {
    threads = std::clamp(threads, 1, 64);
    if (threads == 1 || rows < 64) {
        work(0u, rows);
        return;
    }
    const uint32_t band = (rows + uint32_t(threads) - 1) / uint32_t(threads);
    const uint32_t bands = (rows + band - 1) / band;
    parallelFor(bands, threads, [&](size_t i) {
        const uint32_t first = uint32_t(i) * band;
        work(first, std::min(rows, first + band));
    });
}

}  // namespace conv
