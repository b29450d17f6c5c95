// Queues run on ordinary threads: one lazily started thread per serial queue, a small
// pool for the global queue, one thread for every timer and delayed item, and one that
// turns signals into source events. This file holds the queues' calls and those on any
// object; the shared types are DispatchInternal.h, the sources DispatchSources.cpp.
#include "DispatchInternal.h"

#include <dispatch/dispatch.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

// ---------------------------------------------------------------------------------------
// The public calls.

namespace {

dispatch_queue_s* globalQueue() {
    static dispatch_queue_s* q = [] {
        auto* g = new dispatch_queue_s("dispatch-global", true);  // never destroyed
        g->immortal = true;
        return g;
    }();
    return q;
}

dispatch_queue_s* checkedQueue(dispatch_queue_t q, const char* function) {
    if (q == nullptr) fatal(function, "NULL queue");
    return q;
}

void runSync(dispatch_queue_s* q, const dispatch_block_t& block) {
    if (q->concurrent) {
        block();
        return;
    }
    if (tCurrentQueue == q)
        fatal("dispatch_sync", "called from the queue it waits for (this would never return)");
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    q->submit([&] {
        block();
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
}

}  // namespace

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
    if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
    uint64_t base = when == DISPATCH_TIME_NOW ? monotonicNow() : when;
    if (delta >= 0) {
        uint64_t d = static_cast<uint64_t>(delta);
        return base > DISPATCH_TIME_FOREVER - 1 - d ? DISPATCH_TIME_FOREVER : base + d;
    }
    uint64_t d = static_cast<uint64_t>(-(delta + 1)) + 1;
    return base > d ? base - d : 1;  // 0 would read as "now"
}

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t) {
    return new dispatch_queue_s(label, false);
}

const char* dispatch_queue_get_label(dispatch_queue_t queue) {
    return checkedQueue(queue, "dispatch_queue_get_label")->label.c_str();
}

dispatch_queue_t dispatch_get_global_queue(intptr_t, uintptr_t) { return globalQueue(); }

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block) {
    checkedQueue(queue, "dispatch_async")->submit(std::move(block));
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
    checkedQueue(queue, "dispatch_async_f")->submit([context, work] { work(context); });
}

void dispatch_sync(dispatch_queue_t queue, const dispatch_block_t& block) {
    runSync(checkedQueue(queue, "dispatch_sync"), block);
}

void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
    runSync(checkedQueue(queue, "dispatch_sync_f"), [context, work] { work(context); });
}

void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block) {
    dispatch_queue_s* q = checkedQueue(queue, "dispatch_after");
    if (when == DISPATCH_TIME_FOREVER) return;
    if (when == DISPATCH_TIME_NOW) {
        q->submit(std::move(block));
        return;
    }
    q->retain();
    std::shared_ptr<dispatch_queue_s> hold(q, [](dispatch_queue_s* x) { x->release(); });
    auto shared = std::make_shared<dispatch_block_t>(std::move(block));
    TimerThread::shared().schedule(when, [hold, shared](uint64_t) { hold->submit(std::move(*shared)); });
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work) {
    dispatch_after(when, queue, [context, work] { work(context); });
}

bool dispatch_queue_try_enter_np(dispatch_queue_t queue) {
    if (queue == nullptr || queue->concurrent) return false;
    bool expected = false;
    return queue->busy.compare_exchange_strong(expected, true, std::memory_order_acquire);
}

void dispatch_queue_leave_np(dispatch_queue_t queue) {
    if (queue != nullptr) queue->busy.store(false, std::memory_order_release);
}

void dispatch_retain(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_retain", "NULL object");
    object->retain();
}

void dispatch_release(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_release", "NULL object");
    object->release();
}

void dispatch_resume(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_resume", "NULL object");
    object->resume();
}

void dispatch_suspend(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_suspend", "NULL object");
    object->suspend();
}

void dispatch_set_context(dispatch_object_t object, void* context) {
    if (object == nullptr) fatal("dispatch_set_context", "NULL object");
    object->context.store(context);
}
