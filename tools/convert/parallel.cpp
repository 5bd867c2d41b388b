#include "tools/convert/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

namespace conv {

namespace {

std::thread startThread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace

void parallelFor(size_t count, int threads, const std::function<void(size_t)>& share) {
    parallelFor(count, threads, share, startThread);
}

void parallelFor(size_t count, int threads, const std::function<void(size_t)>& share, ThreadStarter start) {
    const size_t n = std::min(count, size_t(std::max(1, threads)));
    if (n <= 1) {
        for (size_t i = 0; i < count; ++i) share(i);
        return;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written once, by the thread that set `failed`
    auto run = [&]() noexcept {
        for (size_t i; (i = next++) < count;) {
            try {
                share(i);
            } catch (...) {
                if (!failed.exchange(true)) error = std::current_exception();
                next = count;  // no new shares; the ones under way finish
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    try {
        pool.reserve(n - 1);
        for (size_t t = 1; t < n; ++t) pool.push_back(start(run));
    } catch (...) {
        // No more threads to be had (or no room to keep them): the ones
        // running and this one share out the rest.
    }
    run();
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace conv
