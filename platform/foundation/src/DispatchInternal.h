// The types the dispatch stand-in's files share: the reference-counted object, the queue
// with its worker threads, and the one thread that waits for every timer and delayed item.
#pragma once

#include <dispatch/dispatch.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <utility>

// Private to the dispatch stand-in: the named namespace keeps these apart from a program's
// own names, as the anonymous namespace did while they lived in one file.
namespace dispatch_internal {

[[noreturn]] inline void fatal(const char* function, const char* problem) {
    std::fprintf(stderr, "%s: %s\n", function, problem);
    std::fflush(stderr);
    std::abort();
}

inline uint64_t monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * NSEC_PER_SEC + static_cast<uint64_t>(ts.tv_nsec);
}

inline void nameThread(const std::string& label) {
    // The kernel keeps 15 characters.
    std::string name = label.substr(0, 15);
    if (!name.empty()) pthread_setname_np(pthread_self(), name.c_str());
}

// The queue whose worker is the calling thread (null elsewhere).
inline thread_local dispatch_queue_s* tCurrentQueue = nullptr;

}  // namespace dispatch_internal

using namespace dispatch_internal;

struct dispatch_object_s {
    virtual ~dispatch_object_s() = default;
    virtual void resume() = 0;
    virtual void suspend() = 0;
    void retain() {
        if (!immortal) refs.fetch_add(1, std::memory_order_relaxed);
    }
    void release() {
        if (!immortal) dropReference();
    }
    // Called while the caller still holds its reference, so the object is alive for the
    // virtual call; the implementation must not touch the object after giving it up.
    virtual void dropReference() {
        int before = refs.fetch_sub(1, std::memory_order_acq_rel);
        if (before == 1) {
            delete this;
        } else if (before <= 0) {
            fatal("dispatch_release", "object released more often than retained");
        }
    }

    std::atomic<int> refs{1};
    std::atomic<void*> context{nullptr};
    bool immortal = false;
};

struct dispatch_queue_s : dispatch_object_s {
    dispatch_queue_s(const char* l, bool isConcurrent)
        : label(l ? l : ""), concurrent(isConcurrent) {
        maxWorkers = concurrent ? static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 4u, 16u)) : 1;
    }

    void submit(dispatch_block_t work) {
        std::unique_lock<std::mutex> lock(mutex);
        items.push_back(std::move(work));
        if (suspendCount == 0 && idle == 0 && workers < maxWorkers) {
            ++workers;
            retain();  // each worker holds the queue
            std::thread([this] { workerLoop(); }).detach();
        } else {
            wake.notify_one();
        }
    }

    void workerLoop() {
        nameThread(label);
        tCurrentQueue = this;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (items.empty() || suspendCount > 0) {
                // A serial queue's thread ends when only it still holds the queue; the global
                // queue's threads never end.
                if (items.empty() && !immortal && refs.load(std::memory_order_acquire) == workers) break;
                ++idle;
                wake.wait(lock);
                --idle;
                continue;
            }
            dispatch_block_t work = std::move(items.front());
            items.pop_front();
            lock.unlock();
            if (!concurrent) {
                // Wait out an IO thread that entered the queue exclusively; those hold it
                // for one IO cycle at most.
                bool expected = false;
                while (!busy.compare_exchange_weak(expected, true, std::memory_order_acquire)) {
                    expected = false;
                    std::this_thread::yield();
                }
            }
            work();
            work = nullptr;  // destroy captured state before the queue may go away
            if (!concurrent) busy.store(false, std::memory_order_release);
            lock.lock();
        }
        --workers;
        lock.unlock();
        tCurrentQueue = nullptr;
        release();
    }

    // Releases count down under the queue's lock, so the thread that takes the count to
    // zero (and deletes) cannot do so while another releaser still holds the lock, and a
    // worker waiting for the last outside reference to go is woken reliably.
    void dropReference() override {
        bool last;
        {
            std::lock_guard<std::mutex> lock(mutex);
            int remaining = refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
            if (remaining < 0) fatal("dispatch_release", "queue released more often than retained");
            last = remaining == 0;
            if (!last && remaining == workers) wake.notify_all();
        }
        if (last) delete this;
    }

    void resume() override {
        std::lock_guard<std::mutex> lock(mutex);
        if (suspendCount == 0) fatal("dispatch_resume", "queue is not suspended");
        if (--suspendCount == 0) {
            if (!items.empty() && workers == 0) {
                ++workers;
                retain();
                std::thread([this] { workerLoop(); }).detach();
            }
            wake.notify_all();
        }
    }

    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++suspendCount;
    }

    const std::string label;
    const bool concurrent;
    int maxWorkers;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<dispatch_block_t> items;
    int workers = 0;
    int idle = 0;
    int suspendCount = 0;
    std::atomic<bool> busy{false};
};

// ---------------------------------------------------------------------------------------
// Timers and delayed work: one thread waiting for the earliest deadline.

namespace dispatch_internal {

class TimerThread {
public:
    static TimerThread& shared() {
        static TimerThread* instance = new TimerThread;  // never destroyed
        return *instance;
    }

    // Returns an id for cancel().
    uint64_t schedule(uint64_t deadline, std::function<void(uint64_t)> fire) {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t id = ++nextId_;
        entries_.emplace(deadline, std::make_pair(id, std::move(fire)));
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        wake_.notify_one();
        return id;
    }

    void cancel(uint64_t id) {
        std::function<void(uint64_t)> dropped;
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.first == id) {
                dropped = std::move(it->second.second);
                entries_.erase(it);
                break;
            }
        }
    }

private:
    void loop() {
        nameThread("dispatch-timers");
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            uint64_t now = monotonicNow();
            auto first = entries_.begin();
            if (first->first > now) {
                // steady_clock is CLOCK_MONOTONIC, the clock of the deadlines.
                auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(first->first));
                wake_.wait_until(lock, until);
                continue;
            }
            auto fire = std::move(first->second.second);
            entries_.erase(first);
            lock.unlock();
            fire(now);
            fire = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<uint64_t, std::pair<uint64_t, std::function<void(uint64_t)>>> entries_;
    uint64_t nextId_ = 0;
    bool started_ = false;
};

}  // namespace dispatch_internal
