#include <dispatch/dispatch.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Waits (generously: CI machines are slow) until a condition holds.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

TEST(DispatchQueueTest, SerialQueueRunsItemsOneAtATimeInOrder) {
    dispatch_queue_t q = dispatch_queue_create("tw.test.serial", DISPATCH_QUEUE_SERIAL);
    EXPECT_STREQ(dispatch_queue_get_label(q), "tw.test.serial");
    std::vector<int> order;  // touched only by the queue's items, then read after a sync
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    // Submitted from several threads: each thread's items keep their order.
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                dispatch_async(q, [&, t, i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    order.push_back(t * 1000 + i);
                    running.fetch_sub(1);
                });
        });
    for (auto& p : producers) p.join();
    size_t count = 0;
    dispatch_sync(q, [&] { count = order.size(); });
    EXPECT_EQ(count, 800u);
    EXPECT_FALSE(overlapped);
    std::vector<int> last(4, -1);
    for (int v : order) {
        EXPECT_GT(v % 1000, last[v / 1000]);
        last[v / 1000] = v % 1000;
    }
    dispatch_release(q);
}

TEST(DispatchQueueTest, SyncReturnsAfterTheWorkRanAndQueueThreadIsNamed) {
    dispatch_queue_t q = dispatch_queue_create("tw.reconcile.queue.with.a.long.label", nullptr);
    std::string name;
    std::thread::id worker;
    dispatch_sync(q, [&] {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
        worker = std::this_thread::get_id();
    });
    EXPECT_EQ(name, "tw.reconcile.qu");
    EXPECT_NE(worker, std::this_thread::get_id());
    int value = 0;
    dispatch_sync_f(q, &value, [](void* c) { *static_cast<int*>(c) = 7; });
    EXPECT_EQ(value, 7);
    dispatch_release(q);
}

TEST(DispatchQueueTest, ReleasedQueueFinishesItsPendingWork) {
    std::atomic<int> done{0};
    dispatch_queue_t q = dispatch_queue_create("tw.test.release", nullptr);
    for (int i = 0; i < 50; ++i)
        dispatch_async(q, [&] {
            std::this_thread::sleep_for(100us);
            done.fetch_add(1);
        });
    dispatch_release(q);
    EXPECT_TRUE(eventually([&] { return done.load() == 50; }));
}

TEST(DispatchQueueTest, GlobalQueueRunsWorkConcurrently) {
    dispatch_queue_t g = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
    EXPECT_EQ(g, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0));
    // Two items that each wait for the other can only finish when they run side by side.
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i)
        dispatch_async(g, [&] {
            bool both;
            {
                std::unique_lock<std::mutex> lock(m);
                ++arrived;
                cv.notify_all();
                both = cv.wait_for(lock, 10s, [&] { return arrived == 2; });
            }
            if (both) finished.fetch_add(1);  // last touch of the test's stack
        });
    EXPECT_TRUE(eventually([&] { return finished.load() == 2; }));
}

TEST(DispatchQueueTest, ExclusiveEntryKeepsQueueItemsOut) {
    dispatch_queue_t q = dispatch_queue_create("tw.test.exclusive", nullptr);
    ASSERT_TRUE(dispatch_queue_try_enter_np(q));
    EXPECT_FALSE(dispatch_queue_try_enter_np(q));
    std::atomic<bool> ran{false};
    dispatch_async(q, [&] { ran = true; });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ran.load());
    dispatch_queue_leave_np(q);
    EXPECT_TRUE(eventually([&] { return ran.load(); }));

    // While an item runs, entry is refused.
    std::atomic<bool> inside{false}, leave{false};
    dispatch_async(q, [&] {
        inside = true;
        while (!leave) std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(eventually([&] { return inside.load(); }));
    EXPECT_FALSE(dispatch_queue_try_enter_np(q));
    leave = true;
    // Once the item has returned, entry succeeds again.
    EXPECT_TRUE(eventually([&] { return dispatch_queue_try_enter_np(q); }));
    dispatch_queue_leave_np(q);
    EXPECT_FALSE(dispatch_queue_try_enter_np(dispatch_get_global_queue(0, 0)));
    dispatch_release(q);
}

TEST(DispatchQueueDeathTest, SyncOntoTheCurrentQueueAbortsInsteadOfHanging) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            dispatch_queue_t q = dispatch_queue_create("tw.test.deadlock", nullptr);
            dispatch_sync(q, [q] { dispatch_sync(q, [] {}); });
        },
        "called from the queue it waits for");
}

TEST(DispatchTimeTest, OffsetsAndSaturates) {
    dispatch_time_t now = dispatch_time(DISPATCH_TIME_NOW, 0);
    dispatch_time_t later = dispatch_time(now, 5 * NSEC_PER_SEC);
    EXPECT_EQ(later - now, 5 * NSEC_PER_SEC);
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER, -1), DISPATCH_TIME_FOREVER);
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER - 10, 100), DISPATCH_TIME_FOREVER);
    EXPECT_EQ(dispatch_time(now, -static_cast<int64_t>(now) - 100), 1u);
    EXPECT_EQ(dispatch_time(later, -static_cast<int64_t>(NSEC_PER_SEC)), now + 4 * NSEC_PER_SEC);
}

TEST(DispatchAfterTest, RunsNoEarlierThanItsTimeAndInDeadlineOrder) {
    dispatch_queue_t q = dispatch_queue_create("tw.test.after", nullptr);
    std::mutex m;
    std::vector<int> order;
    std::vector<uint64_t> times;
    uint64_t start = dispatch_time(DISPATCH_TIME_NOW, 0);
    for (int i : {3, 1, 2}) {
        dispatch_after(dispatch_time(start, i * 30 * static_cast<int64_t>(NSEC_PER_MSEC)), q, [&, i] {
            std::lock_guard<std::mutex> lock(m);
            order.push_back(i);
            times.push_back(dispatch_time(DISPATCH_TIME_NOW, 0) - start);
        });
    }
    bool never = false;
    dispatch_after(DISPATCH_TIME_FOREVER, q, [&] { never = true; });
    dispatch_release(q);  // pending work keeps the queue alive
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(m);
        return order.size() == 3;
    }));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    for (size_t k = 0; k < 3; ++k) EXPECT_GE(times[k], (k + 1) * 30 * NSEC_PER_MSEC);
    EXPECT_FALSE(never);
}

TEST(DispatchTimerTest, RepeatsAtItsIntervalUntilCancelled) {
    dispatch_queue_t q = dispatch_queue_create("tw.test.timer", nullptr);
    dispatch_source_t t = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
    ASSERT_NE(t, nullptr);
    std::atomic<uintptr_t> fires{0};
    std::atomic<int> handlerRuns{0};
    std::atomic<bool> cancelled{false};
    uint64_t start = dispatch_time(DISPATCH_TIME_NOW, 0);
    std::atomic<uint64_t> firstFire{0};
    dispatch_source_set_timer(t, dispatch_time(start, 50 * NSEC_PER_MSEC), 20 * NSEC_PER_MSEC,
                              5 * NSEC_PER_MSEC);
    dispatch_source_set_event_handler(t, [&] {
        uint64_t expected = 0;
        firstFire.compare_exchange_strong(expected, dispatch_time(DISPATCH_TIME_NOW, 0));
        fires.fetch_add(dispatch_source_get_data(t));
        handlerRuns.fetch_add(1);
    });
    dispatch_source_set_cancel_handler(t, [&] { cancelled = true; });
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(handlerRuns.load(), 0);  // created suspended
    dispatch_resume(t);
    ASSERT_TRUE(eventually([&] { return fires.load() >= 5; }));
    EXPECT_GE(firstFire.load() - start, 50 * NSEC_PER_MSEC);
    // The data counts every interval elapsed, even those coalesced into one handler run.
    uint64_t elapsed = dispatch_time(DISPATCH_TIME_NOW, 0) - start;
    EXPECT_LE(fires.load(), (elapsed - 50 * NSEC_PER_MSEC) / (20 * NSEC_PER_MSEC) + 1);
    dispatch_source_cancel(t);
    EXPECT_TRUE(eventually([&] { return cancelled.load(); }));
    EXPECT_EQ(dispatch_source_testcancel(t), 1);
    uintptr_t settled = fires.load();
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(fires.load(), settled);
    dispatch_release(t);
    dispatch_release(q);
}

TEST(DispatchTimerTest, OneShotAndReprogrammedTimers) {
    dispatch_queue_t q = dispatch_queue_create("tw.test.oneshot", nullptr);
    dispatch_source_t t = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
    std::atomic<int> runs{0};
    dispatch_source_set_event_handler(t, [&] { runs.fetch_add(1); });
    // Far in the future, then moved to now: only the new time counts.
    dispatch_source_set_timer(t, dispatch_time(DISPATCH_TIME_NOW, 3600 * NSEC_PER_SEC), DISPATCH_TIME_FOREVER, 0);
    dispatch_resume(t);
    dispatch_source_set_timer(t, DISPATCH_TIME_NOW, DISPATCH_TIME_FOREVER, 0);
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runs.load(), 1);
    dispatch_source_cancel(t);
    dispatch_release(t);

    // The function form gets the source's context.
    static std::atomic<int> seen{0};
    int context = 5;
    dispatch_source_t f = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
    dispatch_set_context(f, &context);
    dispatch_source_set_event_handler_f(f, [](void* c) { seen = *static_cast<int*>(c); });
    dispatch_source_set_timer(f, DISPATCH_TIME_NOW, DISPATCH_TIME_FOREVER, 0);
    dispatch_resume(f);
    EXPECT_TRUE(eventually([&] { return seen.load() == 5; }));
    dispatch_source_cancel(f);
    dispatch_release(f);
    dispatch_release(q);
}

TEST(DispatchTimerTest, SuspendedTimerAccumulatesFires) {
    dispatch_queue_t q = dispatch_queue_create("tw.test.suspend", nullptr);
    dispatch_source_t t = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
    std::atomic<uintptr_t> data{0};
    std::atomic<int> runs{0};
    dispatch_source_set_event_handler(t, [&] {
        data.fetch_add(dispatch_source_get_data(t));
        runs.fetch_add(1);
    });
    dispatch_source_set_timer(t, DISPATCH_TIME_NOW, 10 * NSEC_PER_MSEC, 0);
    dispatch_resume(t);
    ASSERT_TRUE(eventually([&] { return runs.load() >= 1; }));
    dispatch_suspend(t);
    dispatch_sync(q, [] {});  // a handler already queued has now run
    int runsBefore = runs.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(runs.load(), runsBefore);
    uintptr_t dataBefore = data.load();
    dispatch_resume(t);
    ASSERT_TRUE(eventually([&] { return runs.load() > runsBefore; }));
    EXPECT_GE(data.load() - dataBefore, 5u);  // about ten intervals passed while suspended
    dispatch_source_cancel(t);
    dispatch_release(t);
    dispatch_release(q);
}

TEST(DispatchSignalTest, CountsDeliveriesOnItsQueue) {
    dispatch_queue_t q = dispatch_queue_create("tw.test.signals", nullptr);
    EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, 0, 0, q), nullptr);
    EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGKILL, 0, q), nullptr);
    EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGUSR1, 0, nullptr), nullptr);
    dispatch_source_t s = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGUSR1, 0, q);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(dispatch_source_get_handle(s), static_cast<uintptr_t>(SIGUSR1));
    std::atomic<uintptr_t> count{0};
    std::atomic<bool> onQueue{true};
    dispatch_source_set_event_handler(s, [&] {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        if (std::string(buffer) != "tw.test.signals") onQueue = false;
        count.fetch_add(dispatch_source_get_data(s));
    });
    dispatch_resume(s);
    raise(SIGUSR1);  // would end the process if the source did not take it
    ASSERT_TRUE(eventually([&] { return count.load() == 1; }));
    raise(SIGUSR1);
    raise(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return count.load() == 3; }));
    EXPECT_TRUE(onQueue.load());
    std::atomic<bool> cancelled{false};
    dispatch_source_set_cancel_handler(s, [&] { cancelled = true; });
    dispatch_source_cancel(s);
    EXPECT_TRUE(eventually([&] { return cancelled.load(); }));
    dispatch_release(s);
    dispatch_release(q);
    // With no source left, the signal's previous disposition is back.
    struct sigaction now;
    sigaction(SIGUSR1, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace
