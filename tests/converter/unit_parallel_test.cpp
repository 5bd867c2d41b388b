// parallelFor: every share once, on whatever threads could be started, and
// failures handed back to the caller only when every thread has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/convert/image.h"
#include "tools/convert/parallel.h"

using namespace conv;

namespace {

std::atomic<int> gStarted{0};

// Starts `gAllowed` threads, then fails as a process out of threads does.
std::atomic<int> gAllowed{0};
std::thread limitedStart(std::function<void()> body) {
    if (gAllowed-- <= 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    ++gStarted;
    return std::thread(std::move(body));
}

}  // namespace

TEST(ParallelFor, EveryShareRunsOnceWhateverThreadsCanBeStarted) {
    for (int allowed : {0, 1, 100}) {
        for (int threads : {0, 1, 4}) {
            for (size_t count : {0u, 1u, 3u, 200u}) {
                gAllowed = allowed;
                gStarted = 0;
                std::vector<std::atomic<int>> runs(count);
                std::mutex m;
                std::set<std::thread::id> ran;
                parallelFor(
                    count, threads,
                    [&](size_t i) {
                        ++runs[i];
                        std::lock_guard<std::mutex> lock(m);
                        ran.insert(std::this_thread::get_id());
                    },
                    limitedStart);
                for (size_t i = 0; i < count; ++i)
                    ASSERT_EQ(runs[i], 1) << "share " << i << " of " << count << ", " << threads << " threads";
                EXPECT_LE(gStarted.load(), std::max(0, std::min(threads, int(count)) - 1));
                EXPECT_LE(ran.size(), size_t(gStarted.load()) + 1);
                if (allowed == 0 && count) {
                    EXPECT_EQ(ran, std::set<std::thread::id>{std::this_thread::get_id()});
                }
            }
        }
    }
}

// Set by a worker once its loop has ended after its own share failed: parallelFor
// has then recorded the failure, and no share can be claimed any more.
std::atomic<bool> gFailureRecorded{false};
thread_local bool tThrew = false;

std::thread startNotingTheEnd(std::function<void()> body) {
    return std::thread([body = std::move(body)] {
        body();
        if (tThrew) gFailureRecorded = true;
    });
}

TEST(ParallelFor, AFailureComesBackOnceAfterEveryThreadHasEnded) {
    // The first share of one thread (a worker, then the caller) fails while
    // the others are under way. The caller sees the failure, as it was thrown,
    // only when no share is running any more, and no new share is begun.
    const auto self = std::this_thread::get_id();
    for (bool callersOwn : {false, true}) {
        SCOPED_TRACE(callersOwn ? "the caller's share fails" : "a worker's share fails");
        std::atomic<int> running{0}, finished{0}, begunAfterRecorded{0};
        std::atomic<bool> thrown{false};
        gFailureRecorded = false;
        int runningAtReturn = -1;
        try {
            parallelFor(
                40, 4,
                [&](size_t) {
                    if (gFailureRecorded) ++begunAfterRecorded;
                    ++running;
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));
                    --running;
                    const bool mine = (std::this_thread::get_id() == self) == callersOwn;
                    if (mine && !thrown.exchange(true)) {
                        tThrew = true;
                        throw ConvertError{kExitOutput, "out.tif: disk full"};
                    }
                    ++finished;
                },
                startNotingTheEnd);
            ADD_FAILURE() << "no exception";
        } catch (const ConvertError& e) {
            runningAtReturn = running;
            EXPECT_EQ(e.code, kExitOutput);
            EXPECT_EQ(e.message, "out.tif: disk full");
        }
        tThrew = false;
        EXPECT_EQ(runningAtReturn, 0);
        // Once the failure is recorded, each other thread may still begin the one
        // share it had claimed already, and none more. (The caller's own loop
        // cannot be watched ending; its case checks the rest.)
        if (!callersOwn) EXPECT_LE(begunAfterRecorded.load(), 3);
        EXPECT_LT(finished.load(), 39);
    }
}

TEST(ParallelFor, OutOfMemoryStaysOutOfMemory) {
    // The converter turns std::bad_alloc into its exit code 4; a worker's must
    // arrive as that, not as some other failure.
    EXPECT_THROW(parallelFor(8, 4, [](size_t i) {
                     if (i == 5) throw std::bad_alloc();
                 }),
                 std::bad_alloc);
}
